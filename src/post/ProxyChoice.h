#ifndef PROXYCHOICE_H
#define PROXYCHOICE_H

#include <QHash>
#include <QNetworkProxy>
#include <QSet>
#include <QString>
#include <QUrl>

class Probes;

// The proxies of one run: which one Qt is to use for a URL and how, what each
// has refused, and how long each one's name takes to look up.
class ProxyChoice {
public:
    // The installed proxy, or the environment's rule, for url. An http:// upload
    // through an HTTP proxy goes through a CONNECT tunnel, as an https:// one does,
    // unless the proxy refused one before: a proxy that forwards the request relays
    // an early answer (a 413, a redirect) and closes, and Qt, still writing, never
    // reads it and sends the form again.
    QNetworkProxy forUrl(const QUrl& url) const;
    // The proxy would not tunnel an http:// URL: it forwards from now on, for the whole run.
    void refusedTunnel(const QNetworkProxy& proxy);
    // How long an exchange through proxy may have no connection open or opening
    // before it is over: a second, and twice what looking up the proxy's name
    // takes, since Qt looks it up again before it connects.
    int goneAfterMs(const QNetworkProxy& proxy, Probes& probes);

private:
    QSet<QString> refusedTunnels;        // HOST:PORT
    QHash<QString, int> lookupMs;         // by host name
};

#endif
