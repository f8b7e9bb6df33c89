#ifndef PEERCHECK_H
#define PEERCHECK_H

#include <QString>
#include <QUrl>

#include <optional>

#include "post/Probes.h"
#include "post/ReplyFacts.h"
#include "support/Outcome.h"

// What Qt's "Unknown error" (25) on a direct exchange was. Qt drops the
// reason of a failed connect or of a reset: a network or host that cannot be
// reached, or a peer that reset the connection, may be gone by the next
// attempt; a TLS server spoken to in plain HTTP will not change.
namespace PeerCheck {

// The port the URL's server listens on: the URL's own, or its scheme's (443 for https, 80 otherwise).
quint16 portOf(const QUrl& url);
// The same scheme, host and port: where --header values may go.
bool sameOrigin(const QUrl& a, const QUrl& b);
// Whether a post to url could ever work: a valid http or https URL with a host.
bool isPostable(const QUrl& url);

// The failure told apart, from what the exchange could tell of it: 16 for an
// unreachable network or host (with Qt's text), 12 "Connection reset by peer" for
// a reset, or 25 with a word about TLS for an http:// URL whose port answers in
// TLS; nothing when it cannot be told.
std::optional<Outcome> explainUnknown(const QUrl& url, ErrorDetail detail, const QString& qtText, Probes& probes);

}

#endif
