#ifndef PROXYCHOICE_H
#define PROXYCHOICE_H

#include <QByteArray>
#include <QDeadlineTimer>
#include <QHash>
#include <QList>
#include <QSet>
#include <QString>
#include <QUrl>

#include <optional>

#include "parse/RequestHeaders.h"
#include "post/ReplyFacts.h"
#include "support/Outcome.h"

class Probes;

// Which proxy a URL goes through, by the rule installed for the run.
class ProxyLookup {
public:
    virtual ~ProxyLookup() = default;
    virtual ProxyUse proxyFor(const QUrl& url) = 0;
};

// A Kerberos token for a proxy that asks for Negotiate (--kerberos).
class TokenSource {
public:
    struct Token {
        enum class End { Made, Refused, Deadline, Interrupted };
        End end = End::Refused;
        QByteArray authorization;  // "Negotiate <base64>", when made
        QString why;               // "no Kerberos credentials: ...", when refused
    };

    virtual ~TokenSource() = default;
    virtual Token proxyAuthorization(const QString& proxyHost, QDeadlineTimer deadline) = 0;
};

// The proxies of one run: which one a request goes through and how, what each
// has refused, and how long each one's name takes to look up.
class ProxyChoice {
public:
    // tokens: every request through an HTTP proxy carries a Negotiate token (--kerberos); null without.
    explicit ProxyChoice(ProxyLookup& lookup, TokenSource* tokens = nullptr);

    // The installed proxy for url. An http:// upload through an HTTP proxy goes through a
    // CONNECT tunnel, as an https:// one does, unless the proxy refused one before: a proxy
    // that forwards the request relays an early answer (a 413, a redirect) and closes, and
    // Qt, still writing, never reads it and sends the form again.
    ProxyUse forUrl(const QUrl& url) const;
    // The proxy would not tunnel an http:// URL: it forwards from now on, for the whole run.
    void refusedTunnel(const ProxyUse& proxy);
    // How long an exchange through proxy may have no connection open or opening
    // before it is over: a second, and twice what looking up the proxy's name
    // takes, since Qt looks it up again before it connects.
    int goneAfterMs(const ProxyUse& proxy, Probes& probes);
    // With --kerberos, a fresh token for this one request to url through an HTTP proxy: in
    // headers when the proxy forwards it, on the proxy's CONNECT when it tunnels (never on what
    // goes through the tunnel, to the collector). Without a ticket, the outcome the proxy's
    // refusal would be (407, or 21 for a tunnel); the deadline's, of maxTime seconds; a signal's.
    std::optional<Outcome> authorize(const QUrl& url, ProxyUse& proxy, QList<RequestHeaders::Header>& headers,
                                     QDeadlineTimer deadline, int maxTime) const;
    // Whether a request through proxy carries a token that authorize() makes for it.
    bool wantsToken(const ProxyUse& proxy) const { return tokens && proxy.kind == ProxyUse::Kind::Http; }

private:
    ProxyLookup& lookup;
    TokenSource* tokens;
    QSet<QString> refusedTunnels;   // HOST:PORT
    QHash<QString, int> lookupMs;   // by host name
};

#endif
