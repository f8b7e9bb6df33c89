#include "net/QtExchange.h"

#include <QHttpMultiPart>
#include <QIODevice>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSslConfiguration>
#include <QSslSocket>

#include "form/BodyFile.h"
#include "form/FormBody.h"
#include "net/InstalledProxies.h"
#include "net/ReplyWatch.h"
#include "net/TlsSettings.h"
#include "net/WireProgress.h"
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

QtExchange::~QtExchange()
{
    // Gone before its manager, which would wait for a connection still being made. One that
    // failed already is ending: Qt complains of a second error when it is aborted.
    if (preparing && preparing->isRunning() && preparing->error() == QNetworkReply::NoError)
        preparing->abort();
    preparing.reset();
}

void QtExchange::setForm(const QList<QHttpPart>& formParts, const QList<QIODevice*>& devices)
{
    parts = formParts;
    bodyDevices = devices;
}

void QtExchange::certificateErrors(QNetworkReply& reply, const QList<QSslError>& errors)
{
    if (!transport.caCertificates.isSet())
        reply.ignoreSslErrors();
    else  // a post waiting for the connection made ahead fails with it, for these reasons
        handshakeErrors = errors;
}

void QtExchange::dropConnections()
{
    networkManager->clearConnectionCache();
    encryptedConnections.clear();
}

QString QtExchange::connectionKey(const ExchangeRequest& request)
{
    return UrlDisplay::endpoint(request.url.host(), PeerCheck::portOf(request.url)) + QLatin1Char(' ')
        + UrlDisplay::endpoint(request.proxy.host, request.proxy.port);
}

void QtExchange::prepare(const ExchangeRequest& request)
{
    const QString scheme = request.url.scheme();
    if (preparing || (scheme != QLatin1String("http") && scheme != QLatin1String("https")))
        return;
    // Qt's own way to connect ahead: a request of this scheme sends nothing, and leaves
    // its connection in the manager's cache under the key a request to the URL has.
    const bool encrypted = scheme == QLatin1String("https");
    QUrl ahead;
    ahead.setScheme(encrypted ? QStringLiteral("preconnect-https") : QStringLiteral("preconnect-http"));
    ahead.setHost(request.url.host());
    ahead.setPort(request.url.port(encrypted ? 443 : 80));
    networkManager->setProxy(InstalledProxies::forRequest(request.proxy, request.url));
    QNetworkRequest made(ahead);
    if (encrypted) {  // not for http://: TLS would be started for nothing
        const std::optional<QSslConfiguration> configured = TlsSettings::forTransport(transport);
        QSslConfiguration tls = configured ? *configured : QSslConfiguration::defaultConfiguration();
        // Without --cacert every certificate is taken, as the post takes it: Qt would
        // ask about its errors a reply that is over, and close the connection made.
        if (!transport.caCertificates.isSet())
            tls.setPeerVerifyMode(QSslSocket::VerifyNone);
        made.setSslConfiguration(tls);
    }
    preparing.reset(networkManager->get(made));
    const QString key = connectionKey(request);
    QObject::connect(preparing.get(), &QNetworkReply::encrypted, preparing.get(),
                     [this, key] { encryptedConnections.insert(key); });
}

ExchangeReply QtExchange::exchange(const ExchangeRequest& request)
{
    ReplyWatch::Settings settings;
    settings.idleSeconds = transport.idleTimeout;
    settings.deadline = request.deadline;
    settings.peerPort = request.proxy.kind == ProxyUse::Kind::None ? PeerCheck::portOf(request.url) : request.proxy.port;
    settings.peerGoneMs = request.peerGoneMs;
    settings.handshakeExchanges = request.handshakeExchanges;
    if (progress)
        settings.tick = [this] { progress->tick(); };
    handshakeErrors.clear();  // the manager's signal fills it while a reply is waited for
    // Qt opens a second connection beside a handshake still under way: the one made
    // ahead is waited for, within the bounds of the exchange itself.
    if (preparing && !preparing->isFinished()) {
        const ReplyWatch::Result ahead = ReplyWatch::watch(*preparing, settings);
        if (ahead.end != WaitEnd::Finished)
            return replyOf(*preparing, request.url, ahead);
    }
    const QString key = connectionKey(request);
    settings.encrypted = encryptedConnections.contains(key);
    networkManager->setProxy(InstalledProxies::forRequest(request.proxy, request.url));
    if (request.kind == ExchangeRequest::Kind::Form) {
        // Qt may send the form again only once the peer answered in this exchange (a 401 or
        // a 407 that asks for credentials): a connection that closed before any answer may
        // have carried it whole. The count begins before the request goes.
        auto answers = std::make_shared<WireProgress>(settings.peerPort);
        answers->advanced();
        const BodyFile::SendingAgain judge = [answers] {
            answers->advanced();
            return answers->received() > 0;
        };
        for (QIODevice* device : qAsConst(bodyDevices)) {
            if (auto* file = qobject_cast<BodyFile*>(device))
                file->rewind(judge);
            else
                device->seek(0);
        }
    }
    std::unique_ptr<QNetworkReply> reply = send(makeRequest(request), request.kind, request.body);
    if (!reply) {
        ExchangeReply result;
        result.facts.url = request.url;
        result.facts.errorCode = ExitCode::NoReply;
        result.facts.errorText = QStringLiteral("UnknownNetworkError");
        return result;
    }
    if (progress && request.progressTotal > 0)
        settings.uploadProgress = [this, &request](qint64 sent, qint64 /*total*/) {
            progress->uploading(request.progressFrom + sent, request.progressTotal);
        };
    else if (progress)
        settings.uploadProgress = [this](qint64 sent, qint64 total) { progress->uploading(sent, total); };
    const ReplyWatch::Result wait = ReplyWatch::watch(*reply, settings);
    if (progress)
        progress->clear();
    if (wait.encrypted)
        encryptedConnections.insert(key);
    ExchangeReply result = replyOf(*reply, reply->url(), wait);
    const bool isForm = request.kind == ExchangeRequest::Kind::Form;
    if (isForm) {
        if (const BodyFile* shrunk = BodyFile::shrunkAmong(bodyDevices))
            result.localFailure = shrunk->shrinkMessage();
    }
    // Qt would have sent the form, or a piece of an upload, again: the attempt ends as the
    // closed connection it met (an upload then asks where the server stands).
    const auto* piece = qobject_cast<const FormBody*>(request.body);
    const bool refused = isForm ? BodyFile::refusedSendingAgainAmong(bodyDevices) : piece && piece->refusedSendingAgain();
    if (refused && result.facts.errorCode == ExitCode::ContentReSend) {
        result.facts.errorCode = ExitCode::RemoteHostClosed;
        result.facts.errorText = QStringLiteral("Connection closed");
    }
    return result;  // the reply goes now: no event loop runs after the upload for a deferred delete
}

ExchangeReply QtExchange::replyOf(QNetworkReply& reply, const QUrl& url, const ReplyWatch::Result& wait) const
{
    ExchangeReply result;
    ReplyFacts& facts = result.facts;
    facts.url = url;
    facts.httpStatus = reply.attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    facts.redirectTarget = reply.attribute(QNetworkRequest::RedirectionTargetAttribute).toUrl();
    facts.errorCode = reply.error() == QNetworkReply::NoError ? 0 : transportCode(reply.error());
    facts.detail = detailOf(reply.error(), reply.errorString());
    facts.errorText = UrlDisplay::withoutPassword(reply.errorString(), facts.url);
    for (const QSslError& error : qAsConst(handshakeErrors))
        facts.tlsReasons.append(error.errorString());
    facts.end = wait.end;
    facts.signal = wait.end == WaitEnd::Interrupted ? Interruption::received() : 0;
    facts.encrypted = wait.encrypted;
    facts.bytesSent = wait.bytesSent;
    result.retryAfter = reply.rawHeader("Retry-After");
    result.body = wait.body;
    result.contentType = reply.rawHeader("Content-Type");
    result.headers = reply.rawHeaderPairs();
    return result;
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

std::unique_ptr<QNetworkReply> QtExchange::send(const QNetworkRequest& request, ExchangeRequest::Kind kind, QIODevice* body)
{
    if (kind == ExchangeRequest::Kind::Options)
        return std::unique_ptr<QNetworkReply>(networkManager->sendCustomRequest(request, "OPTIONS"));
    if (kind == ExchangeRequest::Kind::Head)
        return std::unique_ptr<QNetworkReply>(networkManager->head(request));
    if (kind == ExchangeRequest::Kind::Create)
        return std::unique_ptr<QNetworkReply>(networkManager->sendCustomRequest(request, "POST", QByteArray()));
    if (kind == ExchangeRequest::Kind::Delete)
        return std::unique_ptr<QNetworkReply>(networkManager->deleteResource(request));
    if (kind == ExchangeRequest::Kind::Patch) {
        std::unique_ptr<QNetworkReply> reply(networkManager->sendCustomRequest(request, "PATCH", body));
        if (reply)
            reply->setReadBufferSize(ReplyBounds::bodyLimit);
        return reply;
    }
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
