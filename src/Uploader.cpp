#include "Uploader.h"

#include <QEventLoop>
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

#include "console.h"

namespace {

// The status codes of RFC 2616 section 6.1.1, less the redirects that are followed.
bool isRecognisedStatus(int status)
{
    return status == 100 || status == 101 || (status >= 200 && status <= 206) || status == 300
        || status == 303 || status == 304 || status == 305 || (status >= 400 && status <= 417)
        || (status >= 500 && status <= 505);
}

bool isFollowedRedirect(int status)
{
    return status == 301 || status == 302 || status == 307;
}

qint32 transportErrorCode(QNetworkReply::NetworkError error)
{
    switch (error) {
    case QNetworkReply::ConnectionRefusedError: return 11;
    case QNetworkReply::RemoteHostClosedError: return 12;
    case QNetworkReply::HostNotFoundError: return 13;
    case QNetworkReply::TimeoutError: return 14;
    case QNetworkReply::SslHandshakeFailedError: return 15;
    case QNetworkReply::TemporaryNetworkFailureError: return 16;
    case QNetworkReply::ProxyConnectionRefusedError: return 17;
    case QNetworkReply::ProxyConnectionClosedError: return 18;
    case QNetworkReply::ProxyNotFoundError: return 19;
    case QNetworkReply::ProxyTimeoutError: return 20;
    case QNetworkReply::ProxyAuthenticationRequiredError: return 21;
    case QNetworkReply::ContentReSendError: return 22;
    case QNetworkReply::ProtocolUnknownError: return 23;
    case QNetworkReply::ProtocolInvalidOperationError: return 24;
    case QNetworkReply::UnknownNetworkError: return 25;
    case QNetworkReply::UnknownProxyError: return 26;
    case QNetworkReply::UnknownContentError: return 27;
    case QNetworkReply::ProtocolFailure: return 28;
    default: return 6;
    }
}

// A URL's full text, trimmed. Decoding can leave a blank at the end that is
// part of the URL (a "%20"): then the encoded text, so that nothing is cut off.
QString trimmedText(const QUrl& url)
{
    const QString text = url.toString();
    const QString trimmed = text.trimmed();
    return trimmed.size() == text.size() ? text : url.toString(QUrl::FullyEncoded);
}

// Resolves a redirect target against the URL that was posted to. These rules,
// not RFC 3986's, decide: the upload never leaves the request's server unless
// the target names an http(s) URL of its own.
QString computeRedirectUrl(const QUrl& requestUrl, const QUrl& parsedTarget)
{
    // A Location that did not parse counts as none: resolving the broken URL
    // itself would give an empty one to post to.
    const QUrl redirectTarget = parsedTarget.isValid() ? parsedTarget : QUrl();
    if (redirectTarget.scheme().startsWith(QLatin1String("http")))
        return trimmedText(redirectTarget);

    QUrl result = redirectTarget;
    if (!redirectTarget.toString().startsWith(QLatin1Char('/'))) {
        const QString requestPath = requestUrl.path();
        QStringList segments = requestPath.split(QLatin1Char('/'), Qt::SkipEmptyParts);
        // The last name of the request path is not a directory.
        if (!requestPath.endsWith(QLatin1Char('/')) && !segments.isEmpty())
            segments.removeLast();
        segments += redirectTarget.path().split(QLatin1Char('/'), Qt::SkipEmptyParts);
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

Uploader::Uploader(ArgParser::Options::ProxyType proxyType, const QString& proxy)
    : QObject(nullptr)
    , networkManager(new QNetworkAccessManager(nullptr))
{
    connect(networkManager, &QNetworkAccessManager::sslErrors, this, &Uploader::sslErrors);

    QNetworkProxy applicationProxy = QNetworkProxy::applicationProxy();
    switch (proxyType) {
    case ArgParser::Options::NoProxy:
        applicationProxy.setType(QNetworkProxy::NoProxy);
        break;
    case ArgParser::Options::SystemProxy:
        applicationProxy.setType(QNetworkProxy::DefaultProxy);
        break;
    case ArgParser::Options::ManualProxy: {
        QString host = proxy;
        quint16 port = 8080;
        ArgParser::parseProxy(proxy, host, port);
        applicationProxy.setType(QNetworkProxy::HttpProxy);
        applicationProxy.setHostName(host);
        applicationProxy.setPort(port);
        break;
    }
    }
    QNetworkProxy::setApplicationProxy(applicationProxy);
    // A DefaultProxy without a factory means no proxy at all; setApplicationProxy
    // drops the factory, so the platform's configuration is enabled after it.
    if (proxyType == ArgParser::Options::SystemProxy)
        QNetworkProxyFactory::setUseSystemConfiguration(true);
}

Uploader::~Uploader()
{
    delete networkManager;
}

Uploader::HTTPResponse Uploader::uploadMultiPart(QUrl url, const QList<QHttpPart>& parts, const QList<QIODevice*>& bodyDevices)
{
    exchange = Exchange();
    for (int redirects = 0;; ++redirects) {
        exchange.finalUrl = url;
        exchange.redirects = redirects;
        exchange.bytesSent = 0;
        std::cout << "Upload to " << toConsole(url.toString()) << std::endl;

        for (QIODevice* device : bodyDevices)
            device->seek(0);
        auto* multiPart = new QHttpMultiPart(QHttpMultiPart::FormDataType, this);
        for (const QHttpPart& part : parts)
            multiPart->append(part);

        QNetworkRequest request(url);
        // Redirects are followed here, with this module's own rules.
        request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
        if (!caCertificates.isEmpty()) {
            QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
            tls.setCaCertificates(caCertificates);
            tls.setPeerVerifyMode(QSslSocket::VerifyPeer);
            request.setSslConfiguration(tls);
        }
        if (idleTimeoutSeconds > 0)
            request.setTransferTimeout(idleTimeoutSeconds * 1000);
        QNetworkReply* reply = networkManager->post(request, multiPart);
        if (!reply)
            return HTTPResponse{3, QStringLiteral("UnknownNetworkError"), QString()};

        QEventLoop loop;
        connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
        // Qt ends with a progress of 0 of 0 once the reply is in: keep the most that was sent.
        connect(reply, &QNetworkReply::uploadProgress, this,
                [this](qint64 sent, qint64) { exchange.bytesSent = std::max(exchange.bytesSent, sent); });
        multiPart->setParent(reply);
        if (!reply->isFinished())
            loop.exec();

        exchange.retryAfter = reply->rawHeader("Retry-After");
        // Nothing else aborts a reply, so a cancelled one has hit the transfer timeout.
        if (idleTimeoutSeconds > 0 && reply->error() == QNetworkReply::OperationCanceledError) {
            delete reply;
            return HTTPResponse{14, QStringLiteral("No data transferred for %1 s").arg(idleTimeoutSeconds), QString()};
        }
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        if (isFollowedRedirect(status)) {
            if (redirects == maxRedirects) {
                delete reply;
                return HTTPResponse{status, QStringLiteral("Too many redirects"), QString()};
            }
            const QString target = computeRedirectUrl(url, reply->attribute(QNetworkRequest::RedirectionTargetAttribute).toUrl());
            std::cout << "Redirect to " << toConsole(target) << std::endl;
            // No event loop runs after the upload, so a deferred delete would never happen.
            delete reply;
            url = QUrl(target);
            continue;
        }

        HTTPResponse response{isRecognisedStatus(status) ? status : transportErrorCode(reply->error()),
                              reply->errorString(), QString()};
        delete reply;
        return response;
    }
}

void Uploader::sslErrors(QNetworkReply* p_kNetworkReply, const QList<QSslError>& p_kSslErrors)
{
    Q_UNUSED(p_kSslErrors);
    if (caCertificates.isEmpty())
        p_kNetworkReply->ignoreSslErrors();
}

void Uploader::setCaCertificates(const QList<QSslCertificate>& certificates)
{
    caCertificates = certificates;
}

void Uploader::setIdleTimeout(int seconds)
{
    idleTimeoutSeconds = seconds;
}

const Uploader::Exchange& Uploader::lastExchange() const
{
    return exchange;
}
