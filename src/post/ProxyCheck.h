#ifndef PROXYCHECK_H
#define PROXYCHECK_H

#include <QString>
#include <QUrl>

#include <optional>

#include "post/Probes.h"
#include "post/ReplyFacts.h"
#include "support/Outcome.h"

// How far a failure is the proxy's, and whether the proxy would not tunnel.
namespace ProxyCheck {

// The failure as the proxy's own, when it is: a proxy code (17 to 21, 26), or
// 407, with a text that names the proxy; nothing when the collector's code
// stands. code and text are the exchange's, facts the reply's.
std::optional<Outcome> blameProxy(const Route& route, const ReplyFacts& facts, int code, const QString& text,
                                  Probes& probes);

// The proxy wants credentials that are missing or wrong (407, or 21).
bool isAuthenticationRefused(int statusCode);
// That refusal on route, with text: the 407 a forwarded request meets, for an http:// URL
// whether tunnelled or not; 21 for an https:// one.
Outcome authenticationRefused(const Route& route, const QUrl& url, const QString& text);

// The proxy would not open a tunnel for an http:// URL, whatever way it said
// so (many allow CONNECT to port 443 only, some answer 400 or 501, or close):
// the request is to be forwarded instead.
// An ambiguous close is told by a CONNECT of its own, through probes.
bool isTunnelRefused(const Route& route, const ReplyFacts& facts, Probes& probes);

}

#endif
