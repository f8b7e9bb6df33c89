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

QString endpoint(const QString& host, quint16 port)
{
    const QString shown = host.contains(QLatin1Char(':')) ? QLatin1Char('[') + host + QLatin1Char(']') : host;
    return shown + QLatin1Char(':') + QString::number(port);
}

QString proxyEndpoint(const QNetworkProxy& proxy)
{
    return endpoint(proxy.hostName(), proxy.port());
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
