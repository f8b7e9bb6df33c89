#include "ProxySpec.h"

#include "numbers.h"

bool ProxySpec::parse(const QString& text, ProxySpec& spec)
{
    QString rest = text;
    const QLatin1String scheme("http://");
    if (rest.startsWith(scheme, Qt::CaseInsensitive))
        rest.remove(0, scheme.size());
    if (rest.endsWith(QLatin1Char('/')))
        rest.chop(1);

    // A bracketed IPv6 address keeps its colons; otherwise the last colon starts the port.
    int colon = -1;
    QString host;
    if (rest.startsWith(QLatin1Char('['))) {
        const int close = rest.indexOf(QLatin1Char(']'));
        if (close < 0)
            return false;
        if (close + 1 < rest.size()) {
            if (rest.at(close + 1) != QLatin1Char(':'))
                return false;
            colon = close + 1;
        }
        host = rest.mid(1, close - 1);
    } else {
        colon = rest.lastIndexOf(QLatin1Char(':'));
        host = colon < 0 ? rest : rest.left(colon);
    }
    if (host.isEmpty())
        return false;
    int port = 8080;
    if (colon >= 0 && !parseBounded(rest.mid(colon + 1), 1, 65535, port))
        return false;
    spec.host = host;
    spec.port = static_cast<quint16>(port);
    return true;
}

QNetworkProxy ProxySpec::toNetworkProxy() const
{
    return {QNetworkProxy::HttpProxy, host, port};
}
