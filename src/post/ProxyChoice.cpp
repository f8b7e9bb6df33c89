#include "post/ProxyChoice.h"

#include <QNetworkProxyFactory>

#include "post/Probes.h"
#include "post/ReplyFacts.h"
#include "support/UrlDisplay.h"

QNetworkProxy ProxyChoice::forUrl(const QUrl& url) const
{
    QNetworkProxy proxy = QNetworkProxyFactory::proxyForQuery(QNetworkProxyQuery(url)).value(0);
    if (Route::of(proxy, url).plainHttpThroughProxy(url) && !refusedTunnels.contains(UrlDisplay::proxyEndpoint(proxy)))
        proxy.setCapabilities(QNetworkProxy::TunnelingCapability | QNetworkProxy::HostNameLookupCapability);
    return proxy;
}

void ProxyChoice::refusedTunnel(const QNetworkProxy& proxy)
{
    refusedTunnels.insert(UrlDisplay::proxyEndpoint(proxy));
}

int ProxyChoice::goneAfterMs(const QNetworkProxy& proxy, Probes& probes)
{
    if (!lookupMs.contains(proxy.hostName()))
        lookupMs.insert(proxy.hostName(), probes.lookUpMs(proxy.hostName()));
    return 1000 + 2 * lookupMs.value(proxy.hostName());
}
