#ifndef NEGOTIATE_H
#define NEGOTIATE_H

#include <QByteArray>
#include <QString>

// Kerberos for a proxy that asks for Negotiate (--kerberos). Qt's own
// Negotiate cannot use a user's ticket: it looks for credentials named after
// the service, which no user's cache holds, and names the service HTTPS/<host>.
// So the token is made here, as curl makes it: GSSAPI's SPNEGO for the
// host-based service HTTP@<proxy host>, from the user's default credentials.
namespace Negotiate {

// "Negotiate <base64 token>", a fresh one for each request (a token is good
// for one). False, with GSSAPI's reason, when there is no ticket, or an
// expired one: a person must kinit. The token is a secret of the moment:
// shown nowhere, stored nowhere. GSSAPI may crash or hang on a broken cache
// or KDC: call it through IsolatedCall.
bool proxyAuthorization(const QString& proxyHost, QByteArray& header, QString& why);

}

#endif
