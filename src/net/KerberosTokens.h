#ifndef KERBEROSTOKENS_H
#define KERBEROSTOKENS_H

#include "post/ProxyChoice.h"

// The real tokens: GSSAPI's (Negotiate), made in a child process, since the library may
// crash or hang on a broken credentials cache or KDC (IsolatedCall): within 30 s, the
// deadline and the signals.
class KerberosTokens : public TokenSource {
public:
    static constexpr int boundMs = 30000;

    Token proxyAuthorization(const QString& proxyHost, QDeadlineTimer deadline) override;
};

#endif
