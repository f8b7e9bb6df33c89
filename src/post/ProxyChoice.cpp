#include "post/ProxyChoice.h"

#include <QNetworkAccessManager>
#include <QNetworkProxyFactory>
#include <QNetworkRequest>

#include "post/Negotiate.h"
#include "post/Probes.h"
#include "post/ProxyCheck.h"
#include "post/ReplyFacts.h"
#include "support/UrlDisplay.h"

ProxyChoice::ProxyChoice(bool kerberos)
    : kerberos(kerberos)
{
}

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

std::optional<Outcome> ProxyChoice::authorize(QNetworkRequest& request, const QNetworkProxy& proxy,
                                              QNetworkAccessManager& manager) const
{
    if (!kerberos || proxy.type() != QNetworkProxy::HttpProxy)
        return std::nullopt;
    QByteArray header;
    QString why;
    const QUrl url = request.url();
    const Route route = Route::of(proxy, url);
    if (!Negotiate::proxyAuthorization(proxy.hostName(), header, why))
        return ProxyCheck::authenticationRefused(route, url, why);
    if (route.forwards(url)) {
        request.setRawHeader("Proxy-Authorization", header);
        return std::nullopt;
    }
    QNetworkProxy carrying = proxy;
    carrying.setRawHeader("Proxy-Authorization", header);
    manager.setProxy(carrying);
    return std::nullopt;
}
