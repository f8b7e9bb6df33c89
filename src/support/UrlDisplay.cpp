#include "support/UrlDisplay.h"

namespace UrlDisplay {

QString text(const QUrl& url)
{
    if (url.password().isEmpty())
        return url.toString();
    return url.toString(QUrl::RemovePassword);
}

QString text(const QString& urlText)
{
    const QUrl url(urlText);
    return url.password().isEmpty() ? urlText : url.toString(QUrl::RemovePassword);
}

QString withoutPassword(QString text, const QUrl& url)
{
    if (url.password().isEmpty())
        return text;
    text.replace(url.toString(), url.toString(QUrl::RemovePassword));
    text.replace(url.toString(QUrl::FullyEncoded), url.toString(QUrl::RemovePassword | QUrl::FullyEncoded));
    return text;
}

QString proxyEndpoint(const QNetworkProxy& proxy)
{
    const QString host = proxy.hostName().contains(QLatin1Char(':')) ? QLatin1Char('[') + proxy.hostName() + QLatin1Char(']')
                                                                      : proxy.hostName();
    return host + QLatin1Char(':') + QString::number(proxy.port());
}

QString proxyUrl(const QNetworkProxy& proxy)
{
    QString scheme = QStringLiteral("http");
    if (proxy.type() == QNetworkProxy::Socks5Proxy)
        scheme = (proxy.capabilities() & QNetworkProxy::HostNameLookupCapability) ? QStringLiteral("socks5h")
                                                                                   : QStringLiteral("socks5");
    const QString user = proxy.user().isEmpty()
        ? QString()
        : QString::fromLatin1(proxy.user().toLatin1().toPercentEncoding()) + QLatin1Char('@');
    return scheme + QLatin1String("://") + user + proxyEndpoint(proxy);
}

}
