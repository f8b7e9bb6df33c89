#include "net/KerberosTokens.h"

#include "net/IsolatedCall.h"
#include "net/Negotiate.h"

TokenSource::Token KerberosTokens::proxyAuthorization(const QString& proxyHost, QDeadlineTimer deadline)
{
    const IsolatedCall::Result made = IsolatedCall::run(
        [&proxyHost](QByteArray& output) {
            QString why;
            const bool ok = Negotiate::proxyAuthorization(proxyHost, output, why);
            if (!ok)
                output = why.toUtf8();
            return ok;
        },
        deadline, boundMs);
    const QString noCredentials = QStringLiteral("no Kerberos credentials: ");
    Token token;
    switch (made.end) {
    case IsolatedCall::End::Returned:
        token.end = made.ok ? Token::End::Made : Token::End::Refused;
        if (made.ok)
            token.authorization = made.output;
        else
            token.why = QString::fromUtf8(made.output);
        break;
    case IsolatedCall::End::Interrupted:
        token.end = Token::End::Interrupted;
        break;
    case IsolatedCall::End::Deadline:
        token.end = Token::End::Deadline;
        break;
    case IsolatedCall::End::Crashed:
        token.why = noCredentials + QStringLiteral("the Kerberos library crashed (signal %1)").arg(made.signal);
        break;
    case IsolatedCall::End::TooLong:
        token.why = noCredentials + QStringLiteral("the Kerberos library gave no answer in %1 s").arg(boundMs / 1000);
        break;
    }
    return token;
}
