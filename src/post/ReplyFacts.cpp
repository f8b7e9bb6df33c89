#include "post/ReplyFacts.h"

#include "support/UrlDisplay.h"

Route Route::of(const ProxyUse& proxy, const QUrl& url)
{
    Route route;
    if (proxy.kind == ProxyUse::Kind::None)
        return route;
    route.via = proxy.kind == ProxyUse::Kind::Http ? Via::HttpProxy : Via::SocksProxy;
    route.proxyHost = proxy.host;
    route.proxyPort = proxy.port;
    route.tunnel = route.via == Via::HttpProxy && (url.scheme() != QLatin1String("http") || proxy.tunnelsPlainHttp);
    return route;
}

bool Route::plainHttpThroughProxy(const QUrl& url) const
{
    return via == Via::HttpProxy && url.scheme() == QLatin1String("http");
}

QString Route::proxyEndpoint() const
{
    return UrlDisplay::endpoint(proxyHost, proxyPort);
}
