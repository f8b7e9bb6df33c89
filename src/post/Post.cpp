#include "post/Post.h"

#include "post/PeerCheck.h"
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
    , routed(exchange, proxies, this->settings.maxTime)
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
        Console::out("Upload to " + toConsoleEscaped(UrlDisplay::text(target)));

        ExchangeRequest request;
        request.url = target;
        request.deadline = deadline;
        // Like curl, the headers given for the URL are not handed to another origin that a redirect names.
        request.headers = (PeerCheck::sameOrigin(target, url) ? settings.headers : QList<RequestHeaders::Header>())
            + eventHeaders;
        const RoutedExchange::Sent sent = routed.send(request, context(redirects), probes);
        details.proxy = sent.proxy.shown;
        details.bytesSent = sent.reply.facts.bytesSent;
        details.retryAfter = sent.reply.retryAfter;
        details.responseBody = sent.reply.body;
        details.responseContentType = sent.reply.contentType;
        if (sent.answered)
            details.httpStatus = sent.verdict.httpStatus;
        if (!sent.verdict.redirect) {
            details.outcome = sent.verdict.outcome;
            return details;
        }
        const QString redirect = redirectUrl(target, sent.verdict.redirectTarget);
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
