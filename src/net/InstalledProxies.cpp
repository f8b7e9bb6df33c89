#include "net/InstalledProxies.h"

#include <QNetworkProxyFactory>

#include "support/UrlDisplay.h"

namespace {

QNetworkProxy installedFor(const QUrl& url)
{
    return QNetworkProxyFactory::proxyForQuery(QNetworkProxyQuery(url)).value(0);
}

}

ProxyUse InstalledProxies::proxyFor(const QUrl& url)
{
    const QNetworkProxy proxy = installedFor(url);
    ProxyUse use;
    if (proxy.type() == QNetworkProxy::NoProxy || proxy.type() == QNetworkProxy::DefaultProxy)
        return use;
    use.kind = proxy.type() == QNetworkProxy::HttpProxy ? ProxyUse::Kind::Http : ProxyUse::Kind::Socks;
    use.host = proxy.hostName();
    use.port = proxy.port();
    use.shown = UrlDisplay::proxyUrl(proxy);
    // Qt forwards an http:// request to a proxy that may cache; it tunnels every other one.
    use.tunnelsPlainHttp = !proxy.capabilities().testFlag(QNetworkProxy::CachingCapability);
    return use;
}

QNetworkProxy InstalledProxies::forRequest(const ProxyUse& use, const QUrl& url)
{
    QNetworkProxy proxy = installedFor(url);
    if (proxy.type() != QNetworkProxy::HttpProxy)
        return proxy;
    if (use.tunnelsPlainHttp && url.scheme() == QLatin1String("http"))
        proxy.setCapabilities(QNetworkProxy::TunnelingCapability | QNetworkProxy::HostNameLookupCapability);
    if (!use.connectAuthorization.isEmpty())
        proxy.setRawHeader("Proxy-Authorization", use.connectAuthorization);
    return proxy;
}
