#include "parse/ProxySetting.h"

#include "parse/numbers.h"

namespace {

// The Latin-1 text of the bytes that a percent-encoded text stands for.
QString percentDecoded(const QString& text)
{
    return QString::fromLatin1(QByteArray::fromPercentEncoding(text.toLatin1()));
}

}

bool ProxySetting::passwordSpan(const QByteArray& text, int& start, int& end)
{
    const int schemeEnd = text.indexOf("://");
    const int from = schemeEnd >= 0 ? schemeEnd + 3 : 0;
    const int at = text.lastIndexOf('@');
    const int colon = text.indexOf(':', from);
    if (at < from || colon < 0 || colon > at)
        return false;
    start = colon + 1;
    end = at;
    return true;
}

QString ProxySetting::withoutPassword(const QString& text)
{
    // One character a byte: the delimiters fall where they do in the text.
    int start = 0;
    int end = 0;
    if (!passwordSpan(text.toLatin1(), start, end))
        return text;
    return text.left(start - 1) + text.mid(end);
}

bool ProxySetting::parse(const QString& text, ProxySetting& proxy)
{
    ProxySetting parsed;
    QString rest = text;
    const int schemeEnd = rest.indexOf(QLatin1String("://"));
    if (schemeEnd >= 0) {
        const QString scheme = rest.left(schemeEnd).toLower();
        if (scheme == QLatin1String("http"))
            parsed.scheme = Http;
        else if (scheme == QLatin1String("socks5"))
            parsed.scheme = Socks5;
        else if (scheme == QLatin1String("socks5h"))
            parsed.scheme = Socks5h;
        else
            return false;
        rest.remove(0, schemeEnd + 3);
    }
    if (rest.endsWith(QLatin1Char('/')))
        rest.chop(1);
    if (rest.contains(QLatin1Char('/')))
        return false;

    // The last '@' ends the credentials: a password may hold one unencoded.
    const int at = rest.lastIndexOf(QLatin1Char('@'));
    if (at >= 0) {
        const QString credentials = rest.left(at);
        const int colon = credentials.indexOf(QLatin1Char(':'));
        parsed.user = percentDecoded(credentials.left(colon));
        if (colon >= 0)
            parsed.password = percentDecoded(credentials.mid(colon + 1));
        if (parsed.user.isEmpty())
            return false;
        rest.remove(0, at + 1);
    }

    // A bracketed IPv6 address keeps its colons; otherwise the last colon starts the port.
    int colon = -1;
    if (rest.startsWith(QLatin1Char('['))) {
        const int close = rest.indexOf(QLatin1Char(']'));
        if (close < 0)
            return false;
        if (close + 1 < rest.size()) {
            if (rest.at(close + 1) != QLatin1Char(':'))
                return false;
            colon = close + 1;
        }
        parsed.host = rest.mid(1, close - 1);
    } else {
        colon = rest.lastIndexOf(QLatin1Char(':'));
        parsed.host = colon < 0 ? rest : rest.left(colon);
    }
    if (parsed.host.isEmpty())
        return false;
    int port = parsed.scheme == Http ? 8080 : 1080;
    if (colon >= 0 && !parseBounded(rest.mid(colon + 1), 1, 65535, port))
        return false;
    parsed.port = static_cast<quint16>(port);
    proxy = parsed;
    return true;
}

QNetworkProxy ProxySetting::toNetworkProxy() const
{
    QNetworkProxy proxy(scheme == Http ? QNetworkProxy::HttpProxy : QNetworkProxy::Socks5Proxy, host, port, user,
                        password);
    // Without the lookup capability Qt resolves the collector's name itself
    // and hands the proxy an address.
    if (scheme == Socks5)
        proxy.setCapabilities(proxy.capabilities() & ~QNetworkProxy::HostNameLookupCapability);
    return proxy;
}
