#include "post/ReplyFacts.h"

#include <QNetworkProxy>
#include <QNetworkRequest>

#include "support/Interruption.h"
#include "support/UrlDisplay.h"

ReplyFacts ReplyFacts::of(const QNetworkReply& reply, const ReplyWatch::Result& wait, const QList<QSslError>& tlsErrors)
{
    ReplyFacts facts;
    facts.url = reply.url();
    facts.httpStatus = reply.attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    facts.redirectTarget = reply.attribute(QNetworkRequest::RedirectionTargetAttribute).toUrl();
    facts.error = reply.error();
    facts.errorText = UrlDisplay::withoutPassword(reply.errorString(), facts.url);
    for (const QSslError& error : tlsErrors)
        facts.tlsReasons.append(error.errorString());
    facts.end = wait.end;
    facts.signal = wait.end == ReplyWatch::End::Interrupted ? Interruption::received() : 0;
    facts.encrypted = wait.encrypted;
    facts.bytesSent = wait.bytesSent;
    return facts;
}

Route Route::of(const QNetworkProxy& proxy, const QUrl& url)
{
    Route route;
    if (proxy.type() == QNetworkProxy::NoProxy || proxy.type() == QNetworkProxy::DefaultProxy)
        return route;
    route.via = proxy.type() == QNetworkProxy::HttpProxy ? Via::HttpProxy : Via::SocksProxy;
    route.proxyHost = proxy.hostName();
    route.proxyPort = proxy.port();
    // Qt forwards an http:// request to a proxy that may cache; it tunnels every other one.
    route.tunnel = route.via == Via::HttpProxy
        && (url.scheme() != QLatin1String("http") || !proxy.capabilities().testFlag(QNetworkProxy::CachingCapability));
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
