#include "post/RoutedExchange.h"

#include "post/Probes.h"
#include "post/ProxyCheck.h"

RoutedExchange::RoutedExchange(Exchange& network, ProxyChoice& proxyChoice, int maxSeconds)
    : exchange(network)
    , proxies(proxyChoice)
    , maxTime(maxSeconds)
{
}

RoutedExchange::Sent RoutedExchange::send(ExchangeRequest request, const ReplyClassifier::Context& context,
                                          Probes& probes)
{
    request.proxy = proxies.forUrl(request.url);
    Sent sent = sendOnce(request, context, probes);
    if (sent.verdict.tunnelRefused) {
        // Remembered for the run: each redirect or retry would be refused again. Qt keys its
        // connections by proxy host and port only: the tunnel's connection must go.
        proxies.refusedTunnel(request.proxy);
        exchange.dropConnections();
        request.proxy = proxies.forUrl(request.url);
        sent = sendOnce(request, context, probes);
    }
    return sent;
}

// One request and its answer, after the probe that a forwarding proxy needs.
RoutedExchange::Sent RoutedExchange::sendOnce(ExchangeRequest request, const ReplyClassifier::Context& context,
                                              Probes& probes)
{
    Sent sent;
    sent.proxy = request.proxy;
    const Route route = Route::of(request.proxy, request.url);
    if (request.kind == ExchangeRequest::Kind::Form && route.forwards(request.url)) {
        // An OPTIONS to the same URL, through the same proxy, so that the proxy's authentication
        // is settled on the connection before any body is sent on it. Not a HEAD: a collector
        // that answers a HEAD with a body leaves bytes on the connection that Qt would read as
        // the POST's answer, and Qt would send the form again after the collector had it whole.
        // Only a refusal of the credentials is the probe's to report; any other failure of it
        // is no reason not to send: the POST goes as if there had been none. A request without
        // a body settles the authentication itself.
        ExchangeRequest options = request;
        options.kind = ExchangeRequest::Kind::Options;
        options.body = nullptr;
        if (std::optional<Outcome> refused
            = proxies.authorize(options.url, options.proxy, options.headers, options.deadline, maxTime)) {
            sent.verdict = {*refused};
            return sent;
        }
        sent.reply = exchangeOn(options, route, probes);
        sent.verdict = ReplyClassifier::classify(sent.reply.facts, route, {context.idleSeconds, context.maxTimeSeconds, 0}, probes);
        if (ProxyCheck::isAuthenticationRefused(sent.verdict.outcome.code) || sent.verdict.outcome.isStopped())
            return sent;
    }
    if (std::optional<Outcome> refused
        = proxies.authorize(request.url, request.proxy, request.headers, request.deadline, maxTime)) {
        sent.verdict = {*refused};
        return sent;
    }
    sent.reply = exchangeOn(request, route, probes);
    sent.answered = true;
    if (!sent.reply.localFailure.isEmpty())
        sent.verdict = {Outcome::local(sent.reply.localFailure)};
    else
        sent.verdict = ReplyClassifier::classify(sent.reply.facts, route, context, probes);
    return sent;
}

ExchangeReply RoutedExchange::exchangeOn(ExchangeRequest request, const Route& route, Probes& probes)
{
    if (request.proxy.kind != ProxyUse::Kind::None)
        request.peerGoneMs = proxies.goneAfterMs(request.proxy, probes);
    request.handshakeExchanges = route.tunnel ? ReplyBounds::handshakeExchanges : 0;
    return exchange.exchange(request);
}
