#include "Uploader.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QHostInfo>
#include <QHttpMultiPart>
#include <QIODevice>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkProxyFactory>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSslConfiguration>

#include <algorithm>
#include <iostream>

#include "Uploader_p.h"
#include "form/BodyFile.h"
#include "post/PeerCheck.h"
#include "post/ProxyCheck.h"
#include "post/ProxyInstallation.h"
#include "post/TlsSettings.h"
#include "support/Interruption.h"
#include "support/ProgressLine.h"
#include "support/UrlDisplay.h"
#include "support/console.h"
#include "support/exitcodes.h"

namespace {

// The same scheme, host and port: where --header values may go.
bool sameOrigin(const QUrl& a, const QUrl& b)
{
    return a.scheme() == b.scheme() && a.host() == b.host() && PeerCheck::portOf(a) == PeerCheck::portOf(b);
}

}

namespace UploaderInternal {

// The status codes of RFC 2616 section 6.1.1, less the redirects that are followed.
bool isRecognisedStatus(int status)
{
    return status == 100 || status == 101 || (status >= 200 && status <= 206) || status == 300
        || status == 303 || status == 304 || status == 305 || (status >= 400 && status <= 417)
        || (status >= 500 && status <= 505);
}

bool isFollowedRedirect(int status)
{
    return status == HttpStatus::MovedPermanently || status == HttpStatus::Found
        || status == HttpStatus::TemporaryRedirect || status == HttpStatus::PermanentRedirect;
}

int transportErrorCode(QNetworkReply::NetworkError error)
{
    switch (error) {
    case QNetworkReply::ConnectionRefusedError: return ExitCode::ConnectionRefused;
    case QNetworkReply::RemoteHostClosedError: return ExitCode::RemoteHostClosed;
    case QNetworkReply::HostNotFoundError: return ExitCode::HostNotFound;
    case QNetworkReply::TimeoutError: return ExitCode::Timeout;
    case QNetworkReply::SslHandshakeFailedError: return ExitCode::SslHandshakeFailed;
    case QNetworkReply::TemporaryNetworkFailureError: return ExitCode::TemporaryNetworkFailure;
    case QNetworkReply::ProxyConnectionRefusedError: return ExitCode::ProxyConnectionRefused;
    case QNetworkReply::ProxyConnectionClosedError: return ExitCode::ProxyConnectionClosed;
    case QNetworkReply::ProxyNotFoundError: return ExitCode::ProxyNotFound;
    case QNetworkReply::ProxyTimeoutError: return ExitCode::ProxyTimeout;
    case QNetworkReply::ProxyAuthenticationRequiredError: return ExitCode::ProxyAuthenticationRequired;
    case QNetworkReply::ContentReSendError: return ExitCode::ContentReSend;
    case QNetworkReply::ProtocolUnknownError: return ExitCode::ProtocolUnknown;
    case QNetworkReply::ProtocolInvalidOperationError: return ExitCode::ProtocolInvalidOperation;
    case QNetworkReply::UnknownNetworkError: return ExitCode::UnknownNetwork;
    case QNetworkReply::UnknownProxyError: return ExitCode::UnknownProxy;
    case QNetworkReply::UnknownContentError: return ExitCode::UnknownContent;
    case QNetworkReply::ProtocolFailure: return ExitCode::ProtocolFailure;
    default: return ExitCode::Unmapped;
    }
}

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

// These rules, not RFC 3986's, decide: the upload never leaves the request's
// server unless the target names an http(s) URL of its own.
QString computeRedirectUrl(const QUrl& requestUrl, const QUrl& redirectTarget)
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

}

using namespace UploaderInternal;

Uploader::Uploader(TransportOptions::ProxyType proxyType, const ProxySetting& proxy)
    : QObject(nullptr)
    , networkManager(std::make_unique<QNetworkAccessManager>(nullptr))
{
    connect(networkManager.get(), &QNetworkAccessManager::sslErrors, this, &Uploader::sslErrors);
    ProxyInstallation::install(proxyType, proxy);
}

Uploader::Uploader(const TransportOptions& transport, ProgressLine* progress)
    : Uploader(transport.proxyType, transport.proxySetting)
{
    this->transport = transport;
    this->progress = progress;
}

Uploader::~Uploader() = default;

// The URL by value, as callers have always passed it.
Uploader::HTTPResponse Uploader::uploadMultiPart(QUrl url,  // NOLINT(performance-unnecessary-value-param)
                                                  const QList<QHttpPart>& parts, const QList<QIODevice*>& bodyDevices)
{
    PostDetails ignored;
    const Outcome outcome = post(url, parts, bodyDevices, QDeadlineTimer(QDeadlineTimer::Forever), ignored);
    return HTTPResponse{outcome.code, outcome.text, QString()};
}

Outcome Uploader::post(const QUrl& url, const QList<QHttpPart>& parts, const QList<QIODevice*>& bodyDevices,
                       QDeadlineTimer deadline, PostDetails& postDetails)
{
    this->deadline = deadline;
    details = PostDetails();
    QUrl target = url;
    for (int redirects = 0;; ++redirects) {
        details.finalUrl = target;
        details.redirects = redirects;
        details.bytesSent = 0;
        std::cout << "Upload to " << toConsoleEscaped(UrlDisplay::text(target)) << std::endl;

        // Like curl, the headers given for the URL are not handed to another origin that a redirect names.
        const QNetworkRequest request = makeRequest(target, sameOrigin(target, url));
        QNetworkProxy proxy = proxyFor(target);
        Reply reply = postOnce(request, proxy, parts, bodyDevices);
        if (reply.tunnelRefused) {
            // Remembered for the run: each redirect or retry would be refused again. Qt keys its
            // connections by proxy host and port only: the tunnel's connection must go.
            refusedTunnels.insert(UrlDisplay::proxyEndpoint(proxy));
            networkManager->clearConnectionCache();
            proxy = proxyFor(target);
            reply = postOnce(request, proxy, parts, bodyDevices);
        }
        if (!reply.redirect || redirects == maxRedirects) {
            postDetails = details;
            return reply.redirect ? Outcome::answer(reply.outcome.code, QStringLiteral("Too many redirects")) : reply.outcome;
        }
        std::cout << "Redirect to " << toConsoleEscaped(UrlDisplay::text(reply.redirectUrl)) << std::endl;
        target = QUrl(reply.redirectUrl);
    }
}

// The proxy that Qt is to use for this URL: the installed one, or the environment's
// rule. An http:// upload through an HTTP proxy goes through a CONNECT tunnel, as an
// https:// one does, unless the proxy refused one before: a proxy that forwards the
// request relays an early answer (a 413, a redirect) and closes, and Qt, still
// writing, never reads it and sends the form again.
QNetworkProxy Uploader::proxyFor(const QUrl& url)
{
    QNetworkProxy proxy = QNetworkProxyFactory::proxyForQuery(QNetworkProxyQuery(url)).value(0);
    if (proxy.type() == QNetworkProxy::HttpProxy && url.scheme() == QLatin1String("http")
        && !refusedTunnels.contains(UrlDisplay::proxyEndpoint(proxy)))
        proxy.setCapabilities(QNetworkProxy::TunnelingCapability | QNetworkProxy::HostNameLookupCapability);
    networkManager->setProxy(proxy);
    details.proxy = proxy.type() == QNetworkProxy::NoProxy ? QString() : UrlDisplay::proxyUrl(proxy);
    return proxy;
}

// One request and its answer, after the probe that a forwarding proxy needs.
Uploader::Reply Uploader::postOnce(const QNetworkRequest& request, const QNetworkProxy& proxy,
                                   const QList<QHttpPart>& parts, const QList<QIODevice*>& bodyDevices)
{
    if (ProxyCheck::needsProbe(proxy, request.url())) {
        // Only a refusal of the credentials is the probe's to report; any other
        // failure of it is no reason not to send: the POST goes as if there had been none.
        Outcome probe = probeProxy(request, proxy);
        if (ProxyCheck::isAuthenticationRefused(probe.code) || probe.isStopped())
            return {probe};
    }
    for (QIODevice* device : bodyDevices)
        device->seek(0);
    std::unique_ptr<QNetworkReply> reply = send(request, parts);
    if (!reply)
        return {Outcome::transport(ExitCode::NoReply, QStringLiteral("UnknownNetworkError"))};
    const ReplyWatch::Result wait = waitForReply(*reply, proxy);
    for (QIODevice* device : bodyDevices) {
        const auto* file = qobject_cast<const BodyFile*>(device);
        if (file && file->hasShrunk())
            return {Outcome::local(file->shrinkMessage())};
    }
    details.bytesSent = wait.bytesSent;
    details.httpStatus = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    details.retryAfter = reply->rawHeader("Retry-After");
    details.responseBody = wait.body;
    details.responseContentType = reply->rawHeader("Content-Type");
    Reply answer = classify(*reply, proxy, wait);
    answer.tunnelRefused = ProxyCheck::isTunnelRefused(proxy, request.url(), reply->errorString(), wait.bytesSent);
    // A tunnel's CONNECT meets the 407 that a forwarded request would: the same answer for an http:// URL.
    if (answer.outcome.code == ExitCode::ProxyAuthenticationRequired && proxy.type() == QNetworkProxy::HttpProxy
        && request.url().scheme() == QLatin1String("http")) {
        answer.outcome = Outcome::answer(HttpStatus::ProxyAuthenticationRequired, answer.outcome.text);
        details.httpStatus = HttpStatus::ProxyAuthenticationRequired;
    }
    return answer;  // the reply goes now: no event loop runs after the upload for a deferred delete
}

QNetworkRequest Uploader::makeRequest(const QUrl& url, bool withHeaders) const
{
    QNetworkRequest request(url);
    // Redirects are followed here, with this module's own rules.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    // Qt would offer gzip and inflate the whole answer in memory, past any cap: only
    // the start of the body is kept for the report, so it may come as it is. A
    // request that names its own encoding is never inflated by Qt either.
    request.setRawHeader("Accept-Encoding", "identity");
    QSslConfiguration tls;
    if (TlsSettings::forTransport(transport, tls))
        request.setSslConfiguration(tls);
    if (withHeaders) {
        for (const RequestHeaders::Header& header : transport.headers.list())
            request.setRawHeader(header.first, header.second);
    }
    return request;
}

// An OPTIONS to the same URL, through the same proxy, so that the proxy's
// authentication is settled on the connection before any body is sent on it.
// Not a HEAD: a collector that answers a HEAD with a body leaves bytes on the
// connection that Qt would read as the POST's answer, and Qt would then send
// the form again on a new connection after the collector had it whole.
// An answer to OPTIONS is framed like any other and read to its end.
Outcome Uploader::probeProxy(const QNetworkRequest& request, const QNetworkProxy& proxy)
{
    std::unique_ptr<QNetworkReply> reply(networkManager->sendCustomRequest(request, "OPTIONS"));
    const ReplyWatch::Result wait = waitForReply(*reply, proxy);
    return classify(*reply, proxy, wait).outcome;
}

std::unique_ptr<QNetworkReply> Uploader::send(const QNetworkRequest& request, const QList<QHttpPart>& parts)
{
    auto* multiPart = new QHttpMultiPart(QHttpMultiPart::FormDataType, this);
    for (const QHttpPart& part : parts)
        multiPart->append(part);
    std::unique_ptr<QNetworkReply> reply(networkManager->post(request, multiPart));
    // The body goes with the reply that carries it; without a reply it stays with this object.
    // Qt's thread takes a plain answer's body no faster than it is read here.
    if (reply) {
        multiPart->setParent(reply.get());
        reply->setReadBufferSize(ReplyWatch::bodyLimit);
    }
    return reply;
}

ReplyWatch::Result Uploader::waitForReply(QNetworkReply& reply, const QNetworkProxy& proxy)
{
    handshakeErrors.clear();  // the slot fills it while this reply is waited for
    ReplyWatch::Settings settings;
    settings.idleSeconds = transport.idleTimeout;
    settings.deadline = deadline;
    settings.peerPort = proxy.type() == QNetworkProxy::NoProxy ? PeerCheck::portOf(reply.url()) : proxy.port();
    if (proxy.type() != QNetworkProxy::NoProxy)
        settings.peerGoneMs = proxyGoneMs(proxy);
    if (progress) {
        settings.uploadProgress = [this](qint64 sent, qint64 total) { progress->uploading(sent, total); };
        settings.tick = [this] { progress->tick(); };
    }
    ReplyWatch::Result result = ReplyWatch::watch(reply, settings);
    if (progress)
        progress->clear();
    return result;
}

// How long a proxied exchange may have no connection open or opening before
// it is over: a second, and twice what looking up the proxy's name takes,
// since Qt looks it up again before it connects.
int Uploader::proxyGoneMs(const QNetworkProxy& proxy)
{
    if (!proxyLookupMs.contains(proxy.hostName())) {
        QElapsedTimer lookup;
        lookup.start();
        QHostInfo::fromName(proxy.hostName());
        proxyLookupMs.insert(proxy.hostName(), int(std::min<qint64>(lookup.elapsed(), 60000)));
    }
    return 1000 + 2 * proxyLookupMs.value(proxy.hostName());
}

// The wait's own ends first; then the reply: a redirect to follow, or what it answered.
Uploader::Reply Uploader::classify(QNetworkReply& reply, const QNetworkProxy& proxy, const ReplyWatch::Result& wait)
{
    switch (wait.end) {
    case ReplyWatch::End::Idle:
        return {Outcome::idle(transport.idleTimeout)};
    case ReplyWatch::End::Deadline:
        return {Outcome::deadline(transport.maxTime)};
    case ReplyWatch::End::Interrupted:
        return {Outcome::interrupted(Interruption::received())};
    case ReplyWatch::End::PeerGone:
        if (proxy.type() != QNetworkProxy::NoProxy)
            return {Outcome::transport(ExitCode::ProxyConnectionClosed, QStringLiteral("Proxy connection closed: ") + UrlDisplay::proxyEndpoint(proxy))};
        return {Outcome::transport(ExitCode::RemoteHostClosed, QStringLiteral("Connection closed"))};
    case ReplyWatch::End::HeadersTooLarge:
        return {Outcome::headersTooLarge()};
    case ReplyWatch::End::TooLarge:
    case ReplyWatch::End::Finished:
        break;
    }
    const int status = reply.attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (isFollowedRedirect(status)) {
        const QUrl target = reply.attribute(QNetworkRequest::RedirectionTargetAttribute).toUrl();
        return {Outcome::answer(status, QString()), computeRedirectUrl(reply.url(), target), true};
    }
    return {answered(reply, proxy, wait)};
}

Outcome Uploader::answered(QNetworkReply& reply, const QNetworkProxy& proxy, const ReplyWatch::Result& wait)
{
    const QUrl url = reply.url();
    const int status = reply.attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    // Qt takes an interim answer (103 Early Hints, an unasked 101) for the final one and never
    // reads what follows it: the outcome is unknown, so it is worth another attempt.
    if (status > 100 && status < 200)
        return Outcome::transport(ExitCode::ProtocolFailure,
                                  QStringLiteral("Only an interim answer (%1) was read: the final one was lost").arg(status));
    // The status line and headers were whole: the answer stands, without the rest of its body.
    if (wait.end == ReplyWatch::End::TooLarge)
        return Outcome::tooLarge(isRecognisedStatus(status) ? status : ExitCode::ProtocolFailure);
    QString text = UrlDisplay::withoutPassword(reply.errorString(), url);
    // Qt says only that the handshake failed: add why the certificate was refused.
    if (reply.error() == QNetworkReply::SslHandshakeFailedError && !handshakeErrors.isEmpty()) {
        QStringList reasons;
        for (const QSslError& error : qAsConst(handshakeErrors))
            reasons.append(error.errorString());
        reasons.removeDuplicates();
        text += QLatin1String(": ") + reasons.join(QLatin1String("; "));
    }
    int code = isRecognisedStatus(status) ? status : transportErrorCode(reply.error());
    if (code == ExitCode::UnknownNetwork && proxy.type() == QNetworkProxy::NoProxy)
        PeerCheck::explainUnknown(url, code, text);
    ProxyCheck::blameProxy(proxy, url, status, wait.encrypted, code, text);
    // Every transport code is below 100, every status at or above it.
    return code >= 100 ? Outcome::answer(code, text) : Outcome::transport(code, text);
}

void Uploader::sslErrors(QNetworkReply* p_kNetworkReply, const QList<QSslError>& p_kSslErrors)
{
    if (!transport.caCertificates.isSet())
        p_kNetworkReply->ignoreSslErrors();
    else
        handshakeErrors = p_kSslErrors;
}
