#ifndef TLSSETTINGS_H
#define TLSSETTINGS_H

#include <QNetworkRequest>
#include <QSslConfiguration>
#include <QUrl>

#include <optional>

#include "parse/TransportOptions.h"

namespace TlsSettings {

// The TLS configuration for every request: the default one, verifying the
// server against the --cacert certificates when there are any, and showing
// the client certificate when there is one. None when neither is given:
// requests keep Qt's own configuration. Never an empty one made meanwhile:
// even that loads the TLS library and reads the system's CA folder, which a
// plain http:// post must not wait for.
std::optional<QSslConfiguration> forTransport(const TransportOptions& transport);
// Gives request that configuration, when there is one.
void applyTo(QNetworkRequest& request, const TransportOptions& transport);

// Starts Qt's TLS and makes the --cacert certificates now, when the URL or
// the options will need them, rather than at the first handshake: called
// while the archiver runs, it takes that time off the run.
void prepare(const TransportOptions& transport, const QUrl& url);

}

#endif
