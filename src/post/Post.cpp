#include "post/Post.h"

#include "post/PeerCheck.h"
#include "post/Probes.h"
#include "post/ProxyCheck.h"
#include "support/UrlDisplay.h"
#include "support/console.h"

namespace {

// A URL's full text, trimmed. Decoding can leave a blank at the end that is
// part of the URL (a "%20"): then the encoded text, so that nothing is cut off.
QString trimmedText(const QUrl& url)
{
    const QString text = url.toString();
    const QString trimmed = text.trimmed();
    return trimmed.size() == text.size() ? text : url.toString(QUrl::FullyEncoded);
}

}

Post::Post(Exchange& exchange, ProxyChoice& proxies, Settings settings)
    : network(exchange)
    , proxies(proxies)
    , settings(std::move(settings))
{
}

PostResult Post::post(const QUrl& url, const QList<RequestHeaders::Header>& eventHeaders, QDeadlineTimer deadline,
                      Probes& probes)
{
    PostResult details;
    QUrl target = url;
    for (int redirects = 0;; ++redirects) {
        details.finalUrl = target;
        details.redirects = redirects;
        details.bytesSent = 0;
        Console::out("Upload to " + toConsoleEscaped(UrlDisplay::text(target)));

        ExchangeRequest request;
        request.url = target;
        request.deadline = deadline;
        // Like curl, the headers given for the URL are not handed to another origin that a redirect names.
        request.headers = (PeerCheck::sameOrigin(target, url) ? settings.headers : QList<RequestHeaders::Header>())
            + eventHeaders;
        request.proxy = proxies.forUrl(target);
        ReplyClassifier::Verdict verdict = postOnce(request, redirects, probes, details);
        if (verdict.tunnelRefused) {
            // Remembered for the run: each redirect or retry would be refused again. Qt keys its
            // connections by proxy host and port only: the tunnel's connection must go.
            proxies.refusedTunnel(request.proxy);
            network.dropConnections();
            request.proxy = proxies.forUrl(target);
            verdict = postOnce(request, redirects, probes, details);
        }
        if (!verdict.redirect) {
            details.outcome = verdict.outcome;
            return details;
        }
        const QString redirect = redirectUrl(target, verdict.redirectTarget);
        Console::out("Redirect to " + toConsoleEscaped(UrlDisplay::text(redirect)));
        target = QUrl(redirect);
    }
}

void Post::prepare(const QUrl& url)
{
    ExchangeRequest request;
    request.url = url;
    request.proxy = proxies.forUrl(url);
    // A Kerberos token is made for each request, on its way: a tunnel begun without one is refused.
    if (!proxies.wantsToken(request.proxy))
        network.prepare(request);
}

// One request and its answer, after the probe that a forwarding proxy needs.
ReplyClassifier::Verdict Post::postOnce(ExchangeRequest request, int redirects, Probes& probes, PostResult& details)
{
    details.proxy = request.proxy.shown;
    const Route route = Route::of(request.proxy, request.url);
    if (route.forwards(request.url)) {
        // An OPTIONS to the same URL, through the same proxy, so that the proxy's authentication
        // is settled on the connection before any body is sent on it. Not a HEAD: a collector
        // that answers a HEAD with a body leaves bytes on the connection that Qt would read as
        // the POST's answer, and Qt would send the form again after the collector had it whole.
        // Only a refusal of the credentials is the probe's to report; any other failure of it
        // is no reason not to send: the POST goes as if there had been none.
        ExchangeRequest options = request;
        options.kind = ExchangeRequest::Kind::Options;
        if (std::optional<Outcome> refused
            = proxies.authorize(options.url, options.proxy, options.headers, options.deadline, settings.maxTime))
            return {*refused};
        const ExchangeReply reply = exchange(options, route, probes, details);
        ReplyClassifier::Verdict probe = ReplyClassifier::classify(reply.facts, route, context(0), probes);
        if (ProxyCheck::isAuthenticationRefused(probe.outcome.code) || probe.outcome.isStopped())
            return probe;
    }
    if (std::optional<Outcome> refused
        = proxies.authorize(request.url, request.proxy, request.headers, request.deadline, settings.maxTime))
        return {*refused};
    const ExchangeReply reply = exchange(request, route, probes, details);
    if (!reply.localFailure.isEmpty())
        return {Outcome::local(reply.localFailure)};
    ReplyClassifier::Verdict verdict = ReplyClassifier::classify(reply.facts, route, context(redirects), probes);
    details.httpStatus = verdict.httpStatus;
    return verdict;
}

ExchangeReply Post::exchange(const ExchangeRequest& request, const Route& route, Probes& probes, PostResult& details)
{
    ExchangeRequest sent = request;
    if (request.proxy.kind != ProxyUse::Kind::None)
        sent.peerGoneMs = proxies.goneAfterMs(request.proxy, probes);
    sent.handshakeExchanges = route.tunnel ? ReplyBounds::handshakeExchanges : 0;
    ExchangeReply reply = network.exchange(sent);
    details.bytesSent = reply.facts.bytesSent;
    details.retryAfter = reply.retryAfter;
    details.responseBody = reply.body;
    details.responseContentType = reply.contentType;
    return reply;
}

QString Post::redirectUrl(const QUrl& requestUrl, const QUrl& redirectTarget)
{
    // A Location that did not parse counts as none: resolving the broken URL
    // itself would give an empty one to post to.
    const QUrl target = redirectTarget.isValid() ? redirectTarget : QUrl();
    if (target.scheme().startsWith(QLatin1String("http")))
        return trimmedText(target);

    QUrl result = target;
    if (!target.toString().startsWith(QLatin1Char('/'))) {
        const QString requestPath = requestUrl.path();
        QStringList segments = requestPath.split(QLatin1Char('/'), Qt::SkipEmptyParts);
        // The last name of the request path is not a directory.
        if (!requestPath.endsWith(QLatin1Char('/')) && !segments.isEmpty())
            segments.removeLast();
        segments += target.path().split(QLatin1Char('/'), Qt::SkipEmptyParts);
        for (int i = 0; i < segments.size();) {
            if (segments.at(i) == QLatin1String(".")) {
                segments.removeAt(i);
            } else if (segments.at(i) == QLatin1String("..")) {
                segments.removeAt(i);
                // A ".." with nothing before it is dropped on its own.
                if (i > 0)
                    segments.removeAt(--i);
            } else {
                ++i;
            }
        }
        result.setPath(QLatin1Char('/') + segments.join(QLatin1Char('/')));
    }
    result.setScheme(requestUrl.scheme());
    // Encoded, because setUserInfo trims a decoded text.
    result.setUserInfo(requestUrl.userInfo(QUrl::FullyEncoded));
    result.setHost(requestUrl.host());
    result.setPort(requestUrl.port());
    return trimmedText(result);
}
