#include "Uploader.h"

#include <QHttpMultiPart>
#include <QIODevice>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QNetworkRequest>

#include <iostream>

#include "Uploader_p.h"
#include "form/BodyFile.h"
#include "post/NetworkProbes.h"
#include "post/PeerCheck.h"
#include "post/ProxyCheck.h"
#include "post/ProxyInstallation.h"
#include "post/TlsSettings.h"
#include "support/ProgressLine.h"
#include "support/UrlDisplay.h"
#include "support/console.h"
#include "support/exitcodes.h"

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

namespace UploaderInternal {

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
    proxies = ProxyChoice(transport.kerberos);
}

Uploader::~Uploader() = default;

// The URL by value, as callers have always passed it; no deadline.
Uploader::HTTPResponse Uploader::uploadMultiPart(QUrl url,  // NOLINT(performance-unnecessary-value-param)
                                                  const QList<QHttpPart>& parts, const QList<QIODevice*>& bodyDevices)
{
    PostDetails ignored;
    const Outcome outcome = post(url, parts, bodyDevices, {}, QDeadlineTimer(QDeadlineTimer::Forever), ignored);
    return {outcome.code, outcome.text, QString()};
}

Outcome Uploader::post(const QUrl& url, const QList<QHttpPart>& parts, const QList<QIODevice*>& bodyDevices,
                       const QList<RequestHeaders::Header>& eventHeaders, QDeadlineTimer deadline, PostDetails& postDetails)
{
    this->deadline = deadline;
    details = PostDetails();
    NetworkProbes probes(deadline, transport.maxTime);
    QUrl target = url;
    for (int redirects = 0;; ++redirects) {
        details.finalUrl = target;
        details.redirects = redirects;
        details.bytesSent = 0;
        std::cout << "Upload to " << toConsoleEscaped(UrlDisplay::text(target)) << std::endl;

        // Like curl, the headers given for the URL are not handed to another origin that a redirect names.
        const QNetworkRequest request = makeRequest(target, PeerCheck::sameOrigin(target, url), eventHeaders);
        QNetworkProxy proxy = proxyFor(target);
        ReplyClassifier::Verdict verdict = postOnce(request, proxy, parts, bodyDevices, redirects, probes);
        if (verdict.tunnelRefused) {
            // Remembered for the run: each redirect or retry would be refused again. Qt keys its
            // connections by proxy host and port only: the tunnel's connection must go.
            proxies.refusedTunnel(proxy);
            networkManager->clearConnectionCache();
            proxy = proxyFor(target);
            verdict = postOnce(request, proxy, parts, bodyDevices, redirects, probes);
        }
        if (!verdict.redirect) {
            postDetails = details;
            return verdict.outcome;
        }
        const QString redirectUrl = computeRedirectUrl(target, verdict.redirectTarget);
        std::cout << "Redirect to " << toConsoleEscaped(UrlDisplay::text(redirectUrl)) << std::endl;
        target = QUrl(redirectUrl);
    }
}

// The run's choice for url, installed for the request about to be made.
QNetworkProxy Uploader::proxyFor(const QUrl& url)
{
    const QNetworkProxy proxy = proxies.forUrl(url);
    networkManager->setProxy(proxy);
    details.proxy = proxy.type() == QNetworkProxy::NoProxy ? QString() : UrlDisplay::proxyUrl(proxy);
    return proxy;
}

// One request and its answer, after the probe that a forwarding proxy needs.
ReplyClassifier::Verdict Uploader::postOnce(const QNetworkRequest& request, const QNetworkProxy& proxy,
                                            const QList<QHttpPart>& parts, const QList<QIODevice*>& bodyDevices,
                                            int redirects, Probes& probes)
{
    const Route route = Route::of(proxy, request.url());
    if (route.forwards(request.url())) {
        // Only a refusal of the credentials is the probe's to report; any other
        // failure of it is no reason not to send: the POST goes as if there had been none.
        QNetworkRequest probeRequest = request;
        if (std::optional<Outcome> refused = proxies.authorize(probeRequest, proxy, *networkManager, deadline, transport.maxTime))
            return {*refused};
        ReplyClassifier::Verdict probe = probeProxy(probeRequest, proxy, probes);
        if (ProxyCheck::isAuthenticationRefused(probe.outcome.code) || probe.outcome.isStopped())
            return probe;
    }
    for (QIODevice* device : bodyDevices)
        device->seek(0);
    QNetworkRequest postRequest = request;
    if (std::optional<Outcome> refused = proxies.authorize(postRequest, proxy, *networkManager, deadline, transport.maxTime))
        return {*refused};
    std::unique_ptr<QNetworkReply> reply = send(postRequest, parts);
    if (!reply)
        return {Outcome::transport(ExitCode::NoReply, QStringLiteral("UnknownNetworkError"))};
    const ReplyFacts facts = waitForReply(*reply, proxy, probes);
    if (const BodyFile* shrunk = BodyFile::shrunkAmong(bodyDevices))
        return {Outcome::local(shrunk->shrinkMessage())};
    ReplyClassifier::Verdict verdict = ReplyClassifier::classify(facts, route, context(redirects), probes);
    details.httpStatus = verdict.httpStatus;
    return verdict;  // the reply goes now: no event loop runs after the upload for a deferred delete
}

QNetworkRequest Uploader::makeRequest(const QUrl& url, bool withHeaders, const QList<RequestHeaders::Header>& eventHeaders) const
{
    QNetworkRequest request(url);
    // Redirects are followed here, with this module's own rules.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    // Qt would offer gzip and inflate the whole answer in memory, past any cap; nor does it
    // inflate one for a request that names its own encoding (a --header).
    request.setRawHeader("Accept-Encoding", "identity");
    TlsSettings::applyTo(request, transport);
    for (const RequestHeaders::Header& header : (withHeaders ? transport.headers.list() : QList<RequestHeaders::Header>()) + eventHeaders)
        request.setRawHeader(header.first, header.second);
    return request;
}

// An OPTIONS to the same URL, through the same proxy, so that the proxy's authentication
// is settled on the connection before any body is sent on it. Not a HEAD: a collector that
// answers a HEAD with a body leaves bytes on the connection that Qt would read as the POST's
// answer, and Qt would send the form again after the collector had it whole. An answer
// to OPTIONS is framed like any other and read to its end.
ReplyClassifier::Verdict Uploader::probeProxy(const QNetworkRequest& request, const QNetworkProxy& proxy, Probes& probes)
{
    std::unique_ptr<QNetworkReply> reply(networkManager->sendCustomRequest(request, "OPTIONS"));
    const ReplyFacts facts = waitForReply(*reply, proxy, probes);
    return ReplyClassifier::classify(facts, Route::of(proxy, request.url()), context(0), probes);
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

ReplyFacts Uploader::waitForReply(QNetworkReply& reply, const QNetworkProxy& proxy, Probes& probes)
{
    handshakeErrors.clear();  // the slot fills it while this reply is waited for
    ReplyWatch::Settings settings;
    settings.idleSeconds = transport.idleTimeout;
    settings.deadline = deadline;
    settings.peerPort = proxy.type() == QNetworkProxy::NoProxy ? PeerCheck::portOf(reply.url()) : proxy.port();
    if (proxy.type() != QNetworkProxy::NoProxy)
        settings.peerGoneMs = proxies.goneAfterMs(proxy, probes);
    settings.handshakeExchanges = Route::of(proxy, reply.url()).tunnel ? ReplyWatch::handshakeExchanges : 0;
    if (progress) {
        settings.uploadProgress = [this](qint64 sent, qint64 total) { progress->uploading(sent, total); };
        settings.tick = [this] { progress->tick(); };
    }
    const ReplyWatch::Result wait = ReplyWatch::watch(reply, settings);
    if (progress)
        progress->clear();

    details.bytesSent = wait.bytesSent;
    details.retryAfter = reply.rawHeader("Retry-After");
    details.responseBody = wait.body;
    details.responseContentType = reply.rawHeader("Content-Type");
    return ReplyFacts::of(reply, wait, handshakeErrors);
}

void Uploader::sslErrors(QNetworkReply* p_kNetworkReply, const QList<QSslError>& p_kSslErrors)
{
    if (!transport.caCertificates.isSet())
        p_kNetworkReply->ignoreSslErrors();
    else
        handshakeErrors = p_kSslErrors;
}
