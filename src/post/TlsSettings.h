#ifndef TLSSETTINGS_H
#define TLSSETTINGS_H

#include <QSslConfiguration>

#include "parse/TransportOptions.h"

namespace TlsSettings {

// The TLS configuration for every request: the default one, verifying the
// server against the --cacert certificates when there are any, and showing
// the client certificate when there is one. False when neither is given:
// requests keep Qt's own configuration.
bool forTransport(const TransportOptions& transport, QSslConfiguration& tls);

}

#endif
