#include "net/QtExchange.h"

#include <QHttpMultiPart>
#include <QIODevice>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QNetworkRequest>

#include "form/BodyFile.h"
#include "net/InstalledProxies.h"
#include "net/ReplyWatch.h"
#include "net/TlsSettings.h"
#include "post/PeerCheck.h"
#include "support/Interruption.h"
#include "support/ProgressLine.h"
#include "support/UrlDisplay.h"
#include "support/exitcodes.h"

QtExchange::QtExchange(TransportOptions transport, ProgressLine* progress)
    : networkManager(std::make_unique<QNetworkAccessManager>(nullptr))
    , transport(std::move(transport))
    , progress(progress)
{
}

QtExchange::~QtExchange() = default;

void QtExchange::setForm(const QList<QHttpPart>& formParts, const QList<QIODevice*>& devices)
{
    parts = formParts;
    bodyDevices = devices;
}

void QtExchange::certificateErrors(QNetworkReply& reply, const QList<QSslError>& errors)
{
    if (!transport.caCertificates.isSet())
        reply.ignoreSslErrors();
    else
        handshakeErrors = errors;
}

void QtExchange::dropConnections()
{
    networkManager->clearConnectionCache();
}

ExchangeReply QtExchange::exchange(const ExchangeRequest& request)
{
    networkManager->setProxy(InstalledProxies::forRequest(request.proxy, request.url));
    if (request.kind == ExchangeRequest::Kind::Form) {
        for (QIODevice* device : qAsConst(bodyDevices))
            device->seek(0);
    }
    ExchangeReply result;
    std::unique_ptr<QNetworkReply> reply = send(makeRequest(request), request.kind);
    if (!reply) {
        result.facts.url = request.url;
        result.facts.errorCode = ExitCode::NoReply;
        result.facts.errorText = QStringLiteral("UnknownNetworkError");
        return result;
    }
    handshakeErrors.clear();  // the manager's signal fills it while this reply is waited for
    ReplyWatch::Settings settings;
    settings.idleSeconds = transport.idleTimeout;
    settings.deadline = request.deadline;
    settings.peerPort = request.proxy.kind == ProxyUse::Kind::None ? PeerCheck::portOf(request.url) : request.proxy.port;
    settings.peerGoneMs = request.peerGoneMs;
    settings.handshakeExchanges = request.handshakeExchanges;
    if (progress) {
        settings.uploadProgress = [this](qint64 sent, qint64 total) { progress->uploading(sent, total); };
        settings.tick = [this] { progress->tick(); };
    }
    const ReplyWatch::Result wait = ReplyWatch::watch(*reply, settings);
    if (progress)
        progress->clear();

    ReplyFacts& facts = result.facts;
    facts.url = reply->url();
    facts.httpStatus = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    facts.redirectTarget = reply->attribute(QNetworkRequest::RedirectionTargetAttribute).toUrl();
    facts.errorCode = reply->error() == QNetworkReply::NoError ? 0 : transportCode(reply->error());
    facts.detail = detailOf(reply->error(), reply->errorString());
    facts.errorText = UrlDisplay::withoutPassword(reply->errorString(), facts.url);
    for (const QSslError& error : qAsConst(handshakeErrors))
        facts.tlsReasons.append(error.errorString());
    facts.end = wait.end;
    facts.signal = wait.end == WaitEnd::Interrupted ? Interruption::received() : 0;
    facts.encrypted = wait.encrypted;
    facts.bytesSent = wait.bytesSent;
    result.retryAfter = reply->rawHeader("Retry-After");
    result.body = wait.body;
    result.contentType = reply->rawHeader("Content-Type");
    if (request.kind == ExchangeRequest::Kind::Form) {
        if (const BodyFile* shrunk = BodyFile::shrunkAmong(bodyDevices))
            result.localFailure = shrunk->shrinkMessage();
    }
    return result;  // the reply goes now: no event loop runs after the upload for a deferred delete
}

QNetworkRequest QtExchange::makeRequest(const ExchangeRequest& request) const
{
    QNetworkRequest made(request.url);
    // Redirects are followed by the post's logic, with its own rules.
    made.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    // Qt would offer gzip and inflate the whole answer in memory, past any cap; nor does it
    // inflate one for a request that names its own encoding (a --header).
    made.setRawHeader("Accept-Encoding", "identity");
    TlsSettings::applyTo(made, transport);
    for (const RequestHeaders::Header& header : request.headers)
        made.setRawHeader(header.first, header.second);
    return made;
}

std::unique_ptr<QNetworkReply> QtExchange::send(const QNetworkRequest& request, ExchangeRequest::Kind kind)
{
    if (kind == ExchangeRequest::Kind::Options)
        return std::unique_ptr<QNetworkReply>(networkManager->sendCustomRequest(request, "OPTIONS"));
    auto multiPart = std::make_unique<QHttpMultiPart>(QHttpMultiPart::FormDataType);
    for (const QHttpPart& part : qAsConst(parts))
        multiPart->append(part);
    std::unique_ptr<QNetworkReply> reply(networkManager->post(request, multiPart.get()));
    // The body goes with the reply that carries it. Qt's thread takes a plain answer's
    // body no faster than it is read here.
    if (reply) {
        multiPart.release()->setParent(reply.get());
        reply->setReadBufferSize(ReplyBounds::bodyLimit);
    }
    return reply;
}

int QtExchange::transportCode(int qtError)
{
    switch (QNetworkReply::NetworkError(qtError)) {
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

// The kernel's reason for a connect it refused, the bare "Unknown error" of a reset, or a
// proxy's refusal of a tunnel: Qt's words, read here only.
ErrorDetail QtExchange::detailOf(int qtError, const QString& text)
{
    if (qtError != QNetworkReply::UnknownNetworkError)
        return ErrorDetail::None;
    if (text == QLatin1String("Host unreachable"))
        return ErrorDetail::HostUnreachable;
    if (text == QLatin1String("Network unreachable"))
        return ErrorDetail::NetworkUnreachable;
    return text == QLatin1String("Unknown error") ? ErrorDetail::Unexplained : ErrorDetail::OtherWords;
}
