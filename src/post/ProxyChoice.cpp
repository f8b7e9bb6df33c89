#include "post/ProxyChoice.h"

#include <QNetworkAccessManager>
#include <QNetworkProxyFactory>
#include <QNetworkRequest>

#include "post/IsolatedCall.h"
#include "post/Negotiate.h"
#include "post/Probes.h"
#include "post/ProxyCheck.h"
#include "post/ReplyFacts.h"
#include "support/Interruption.h"
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
                                              QNetworkAccessManager& manager, QDeadlineTimer deadline, int maxTime) const
{
    if (!kerberos || proxy.type() != QNetworkProxy::HttpProxy)
        return std::nullopt;
    const QUrl url = request.url();
    const Route route = Route::of(proxy, url);
    const QString host = proxy.hostName();
    const IsolatedCall::Result made = IsolatedCall::run(
        [&host](QByteArray& output) {
            QString why;
            const bool ok = Negotiate::proxyAuthorization(host, output, why);
            if (!ok)
                output = why.toUtf8();
            return ok;
        },
        deadline, tokenBoundMs);
    const QString noCredentials = QStringLiteral("no Kerberos credentials: ");
    switch (made.end) {
    case IsolatedCall::End::Returned:
        break;
    case IsolatedCall::End::Interrupted:
        return Outcome::interrupted(Interruption::received());
    case IsolatedCall::End::Deadline:
        return Outcome::deadline(maxTime);
    case IsolatedCall::End::Crashed:
        return ProxyCheck::authenticationRefused(
            route, url, noCredentials + QStringLiteral("the Kerberos library crashed (signal %1)").arg(made.signal));
    case IsolatedCall::End::TooLong:
        return ProxyCheck::authenticationRefused(
            route, url, noCredentials + QStringLiteral("the Kerberos library gave no answer in %1 s").arg(tokenBoundMs / 1000));
    }
    if (!made.ok)
        return ProxyCheck::authenticationRefused(route, url, QString::fromUtf8(made.output));
    const QByteArray& header = made.output;
    if (route.forwards(url)) {
        request.setRawHeader("Proxy-Authorization", header);
        return std::nullopt;
    }
    QNetworkProxy carrying = proxy;
    carrying.setRawHeader("Proxy-Authorization", header);
    manager.setProxy(carrying);
    return std::nullopt;
}
