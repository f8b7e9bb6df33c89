#include "post/ProxyChoice.h"

#include "post/Probes.h"
#include "post/ProxyCheck.h"
#include "support/Interruption.h"
#include "support/UrlDisplay.h"

ProxyChoice::ProxyChoice(ProxyLookup& lookup, TokenSource* tokens)
    : lookup(lookup)
    , tokens(tokens)
{
}

ProxyUse ProxyChoice::forUrl(const QUrl& url) const
{
    ProxyUse proxy = lookup.proxyFor(url);
    if (Route::of(proxy, url).plainHttpThroughProxy(url) && !refusedTunnels.contains(UrlDisplay::endpoint(proxy.host, proxy.port)))
        proxy.tunnelsPlainHttp = true;
    return proxy;
}

void ProxyChoice::refusedTunnel(const ProxyUse& proxy)
{
    refusedTunnels.insert(UrlDisplay::endpoint(proxy.host, proxy.port));
}

int ProxyChoice::goneAfterMs(const ProxyUse& proxy, Probes& probes)
{
    if (!lookupMs.contains(proxy.host))
        lookupMs.insert(proxy.host, probes.lookUpMs(proxy.host));
    return 1000 + 2 * lookupMs.value(proxy.host);
}

std::optional<Outcome> ProxyChoice::authorize(const QUrl& url, ProxyUse& proxy, QList<RequestHeaders::Header>& headers,
                                              QDeadlineTimer deadline, int maxTime) const
{
    if (!wantsToken(proxy))
        return std::nullopt;
    const Route route = Route::of(proxy, url);
    const TokenSource::Token token = tokens->proxyAuthorization(proxy.host, deadline);
    switch (token.end) {
    case TokenSource::Token::End::Made:
        break;
    case TokenSource::Token::End::Refused:
        return ProxyCheck::authenticationRefused(route, url, token.why);
    case TokenSource::Token::End::Deadline:
        return Outcome::deadline(maxTime);
    case TokenSource::Token::End::Interrupted:
        return Outcome::interrupted(Interruption::received());
    }
    if (route.forwards(url))
        headers.append({"Proxy-Authorization", token.authorization});
    else
        proxy.connectAuthorization = token.authorization;
    return std::nullopt;
}
