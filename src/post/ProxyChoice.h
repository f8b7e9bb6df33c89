#ifndef PROXYCHOICE_H
#define PROXYCHOICE_H

#include <QDeadlineTimer>
#include <QHash>
#include <QNetworkProxy>
#include <QSet>
#include <QString>
#include <QUrl>

#include <optional>

#include "support/Outcome.h"

class Probes;
class QNetworkAccessManager;
class QNetworkRequest;

// The proxies of one run: which one Qt is to use for a URL and how, what each
// has refused, and how long each one's name takes to look up.
class ProxyChoice {
public:
    // kerberos: every request through an HTTP proxy carries a Negotiate token (--kerberos).
    explicit ProxyChoice(bool kerberos = false);

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
    // With --kerberos, a fresh token for this one request through an HTTP proxy:
    // on the request when the proxy forwards it, on the CONNECT when it tunnels
    // (never on what goes through the tunnel, to the collector). Without a
    // ticket, the outcome the proxy's refusal would be: 407, or 21 for a tunnel.
    // The proxy, with a token of its own when it carries one, is the manager's from then on.
    // The token is made in a child process (GSSAPI may crash or hang), within tokenBoundMs,
    // the deadline (then the outcome is the deadline's, of maxTime seconds) and the signals.
    std::optional<Outcome> authorize(QNetworkRequest& request, const QNetworkProxy& proxy, QNetworkAccessManager& manager,
                                     QDeadlineTimer deadline, int maxTime) const;

    static constexpr int tokenBoundMs = 30000;

private:
    bool kerberos;
    QSet<QString> refusedTunnels;        // HOST:PORT
    QHash<QString, int> lookupMs;         // by host name
};

#endif
