#include "tus/TusUpload.h"

#include <QCryptographicHash>

#include "form/FormBody.h"
#include "post/PeerCheck.h"
#include "post/Post.h"
#include "support/console.h"
#include "support/UrlDisplay.h"
#include "support/Interruption.h"
#include "support/exitcodes.h"

namespace {

const QByteArray tus_version = "1.0.0";

// An offset header's value: digits only, or -1.
qint64 offsetOf(const QByteArray& value)
{
    bool ok = false;
    const qint64 offset = value.trimmed().toLongLong(&ok);
    return ok && offset >= 0 && !value.trimmed().startsWith('+') ? offset : -1;
}

}

TusUpload::TusUpload(RoutedExchange& exchange, Probes& replyProbes, Settings uploadSettings)
    : network(exchange)
    , probes(replyProbes)
    , settings(std::move(uploadSettings))
{
}

QByteArray TusUpload::metadata(const QByteArray& contentType, const QByteArray& eventId, const QByteArray& fileName)
{
    return "filetype " + contentType.toBase64() + ",eventId " + eventId.toBase64() + ",filename " + fileName.toBase64();
}

QByteArray TusUpload::checksumAlgorithm(const QByteArray& extensions, const QByteArray& algorithms)
{
    const auto names = [](const QByteArray& list) {
        QList<QByteArray> trimmed;
        for (const QByteArray& name : list.split(','))
            trimmed.append(name.trimmed().toLower());
        return trimmed;
    };
    if (!names(extensions).contains("checksum"))
        return {};
    const QList<QByteArray> offered = names(algorithms);
    for (const QByteArray& wanted : {QByteArray("sha256"), QByteArray("sha1")})
        if (offered.contains(wanted))
            return wanted;
    return {};
}

bool TusUpload::isPossibleOffset(qint64 offset, const Progress& progress, qint64 bodySize)
{
    return offset >= progress.confirmed && offset <= progress.sent && offset <= bodySize;
}

PostResult TusUpload::upload(const QUrl& creationUrl, FormBody& body, QDeadlineTimer deadline, Progress& progress)
{
    return finished(goOn(creationUrl, body, deadline, progress), body.bodySize(), progress);
}

PostResult TusUpload::finished(PostResult result, qint64 bodySize, const Progress& progress) const
{
    result.bytesSent = handed;
    result.uploadUrl = progress.url;
    result.bodyBytes = bodySize;
    return result;
}

PostResult TusUpload::stream(const QUrl& creationUrl, const WrittenSoFar& written, QDeadlineTimer deadline,
                             Progress& progress)
{
    PostResult result;
    creation = creationUrl;
    Written now = written(progress.confirmed);
    if (!now.body || now.whole)
        return result;  // nothing gained by going before the body is whole
    if (progress.url.isEmpty() && create(creationUrl, *now.body, deadline, progress, result, true) != Step::Done)
        return result;
    while (now.body && !now.whole) {
        if (now.ready > progress.confirmed
            && sendPiece(*now.body, now.ready, deadline, progress, result) != Step::Done)
            break;
        now = written(progress.confirmed);
    }
    return finished(result, -1, progress);  // the body's size is not known yet
}

PostResult TusUpload::goOn(const QUrl& creationUrl, FormBody& body, QDeadlineTimer deadline, Progress& progress)
{
    PostResult result;
    creation = creationUrl;
    if (deadline.hasExpired()) {  // spent while the archive was written: nothing more is asked
        result.outcome = Outcome::deadline(settings.context.maxTimeSeconds);
        return result;
    }
    askChecksum(deadline);
    int resumes = 0;
    if (progress.sent > body.bodySize()) {  // a kept upload of another body
        result.outcome = Outcome::local(QStringLiteral("The kept upload has gone past the end of its form"));
        return result;
    }
    // A known upload is asked where it stands first (a resend goes on from there), unless this
    // run's last request confirmed it.
    Step step = progress.url.isEmpty() ? create(creationUrl, body, deadline, progress, result)
        : progress.settled             ? Step::Done
                                       : askOffset(body, deadline, progress, result);
    while (step != Step::Failed) {
        if (progress.confirmed == body.bodySize() && step == Step::Done) {
            result.outcome = Outcome::answer(HttpStatus::Ok, QString());
            return result;
        }
        if (step == Step::Resume) {
            if (++resumes > settings.maxResumes || deadline.hasExpired() || Interruption::received())
                return result;  // the last failure stands
            if (progress.url.isEmpty()) {
                step = create(creationUrl, body, deadline, progress, result);
                continue;
            }
            step = askOffset(body, deadline, progress, result);
            continue;
        }
        const qint64 most = checksum.isEmpty() ? settings.pieceBytes : checksumPieceBytes;
        const qint64 to = most > 0 ? std::min(body.bodySize(), progress.confirmed + most) : body.bodySize();
        step = sendPiece(body, to, deadline, progress, result);
    }
    return result;
}

TusUpload::Step TusUpload::create(const QUrl& creationUrl, const FormBody& body, QDeadlineTimer deadline,
                                  Progress& progress, PostResult& result, bool lengthDeferred)
{
    QUrl target = creationUrl;
    for (int redirects = 0;; ++redirects) {
        say("Upload to " + toConsoleEscaped(UrlDisplay::text(target)));
        ExchangeRequest request;
        request.kind = ExchangeRequest::Kind::Create;
        request.url = target;
        request.deadline = deadline;
        request.headers = settings.creationHeaders
            + QList<RequestHeaders::Header>{
                {"Tus-Resumable", tus_version},
                lengthDeferred ? RequestHeaders::Header{"Upload-Defer-Length", "1"}
                               : RequestHeaders::Header{"Upload-Length", QByteArray::number(body.bodySize())},
                {"Upload-Metadata", metadata(body.contentType(), settings.eventId, settings.fileName)}};
        settings.context.redirects = redirects;
        const RoutedExchange::Sent sent = send(request, result);
        const ExchangeReply& reply = sent.reply;
        const QByteArray location = reply.header("Location");
        if (sent.answered && reply.facts.httpStatus == 201 && !location.isEmpty()) {
            progress = Progress{target.resolved(QUrl::fromEncoded(location)), 0, 0, progress.startedOver, lengthDeferred, true};
            return Step::Done;
        }
        const ReplyClassifier::Verdict& verdict = sent.verdict;
        if (!verdict.redirect) {
            result.outcome = reply.facts.httpStatus == 201
                ? Outcome::transport(ExitCode::ProtocolFailure, QStringLiteral("Upload made without a Location"))
                : verdict.outcome;
            return Step::Failed;
        }
        target = QUrl(Post::redirectUrl(target, verdict.redirectTarget));
        say("Redirect to " + toConsoleEscaped(UrlDisplay::text(target)));
    }
}

TusUpload::Step TusUpload::askOffset(const FormBody& body, QDeadlineTimer deadline, Progress& progress,
                                     PostResult& result)
{
    ExchangeRequest request;
    request.kind = ExchangeRequest::Kind::Head;
    request.url = progress.url;
    request.deadline = deadline;
    request.headers = {{"Tus-Resumable", tus_version}};
    const RoutedExchange::Sent sent = send(request, result);
    const ExchangeReply& reply = sent.reply;
    const int status = sent.answered ? reply.facts.httpStatus : 0;
    if ((status == 404 || status == 410) && !progress.startedOver) {
        // Forgotten, or expired: made again, once.
        progress = Progress{QUrl(), 0, 0, true};
        return Step::Resume;
    }
    if (status != 200 && status != 204) {
        result.outcome = sent.verdict.outcome;
        return sent.answered && isResumable(reply) ? Step::Resume : Step::Failed;
    }
    const qint64 offset = offsetOf(reply.header("Upload-Offset"));
    if (!isPossibleOffset(offset, progress, body.bodySize())) {
        result.outcome = Outcome::transport(
            ExitCode::ProtocolFailure,
            QStringLiteral("The server's upload offset %1 is not one this upload reached (%2 confirmed, %3 sent)")
                .arg(QString::fromLatin1(reply.header("Upload-Offset").left(40).toPercentEncoding()))
                .arg(progress.confirmed)
                .arg(progress.sent));
        return Step::Failed;
    }
    progress.confirmed = offset;
    progress.lengthDeferred = reply.header("Upload-Defer-Length").trimmed() == "1";
    progress.settled = true;
    return Step::Done;
}

void TusUpload::askChecksum(QDeadlineTimer deadline)
{
    if (!settings.checksums)
        return;
    ExchangeRequest request;
    request.kind = ExchangeRequest::Kind::Options;
    request.url = creation;
    request.deadline = deadline;
    request.headers = {{"Tus-Resumable", tus_version}};
    PostResult ignored;  // a server that does not answer is sent to without digests
    const RoutedExchange::Sent sent = send(request, ignored);
    if (sent.answered)
        checksum = checksumAlgorithm(sent.reply.header("Tus-Extension"), sent.reply.header("Tus-Checksum-Algorithm"));
}

TusUpload::Step TusUpload::sendPiece(FormBody& body, qint64 to, QDeadlineTimer deadline, Progress& progress,
                                     PostResult& result)
{
    const qint64 from = progress.confirmed;
    progress.settled = false;  // until this piece is confirmed
    if (!body.isOpen() && !body.open(QIODevice::ReadOnly)) {
        result.outcome = Outcome::local(QStringLiteral("The form's body cannot be read"));
        return Step::Failed;
    }
    body.setWindow(from, to);
    ExchangeRequest request;
    request.kind = ExchangeRequest::Kind::Patch;
    request.url = progress.url;
    request.deadline = deadline;
    request.body = &body;
    request.progressFrom = from;
    request.progressTotal = body.bodySize();
    request.headers = QList<RequestHeaders::Header>{{"Tus-Resumable", tus_version},
                                        {"Upload-Offset", QByteArray::number(from)},
                                        {"Content-Type", "application/offset+octet-stream"}};
    const bool declaresLength = progress.lengthDeferred && to == body.bodySize();
    if (declaresLength)
        request.headers.append({"Upload-Length", QByteArray::number(body.bodySize())});
    if (!checksum.isEmpty()) {
        // The piece is read once for its digest, then once more as it is sent.
        QCryptographicHash digest(checksum == "sha256" ? QCryptographicHash::Sha256 : QCryptographicHash::Sha1);
        if (!digest.addData(&body) || body.pos() != to - from) {
            result.outcome = Outcome::local(QStringLiteral("The form's body cannot be read"));
            return Step::Failed;
        }
        body.setWindow(from, to);
        request.headers.append({"Upload-Checksum", checksum + ' ' + digest.result().toBase64()});
    }
    const RoutedExchange::Sent sent = send(request, result);
    const ExchangeReply& reply = sent.reply;
    // Qt tells what it sent late, and the kernel may have sent more: what Qt read of the
    // piece bounds what the server can have.
    const qint64 pieceSent = std::max(reply.facts.bytesSent, body.readUpTo());
    handed += pieceSent;
    progress.sent = std::max(progress.sent, from + pieceSent);
    if (sent.answered && reply.facts.httpStatus == 204) {
        progress.sent = std::max(progress.sent, to);  // answered once the piece was in
        const qint64 offset = offsetOf(reply.header("Upload-Offset"));
        // A 204 without a usable offset says nothing of where the upload stands: asked.
        if (!isPossibleOffset(offset, progress, body.bodySize()))
            return Step::Resume;
        // A piece the server took none of would be sent again and again: asked instead.
        const bool advanced = offset > from || from == to;
        progress.confirmed = offset;
        progress.lengthDeferred = progress.lengthDeferred && !declaresLength;
        progress.settled = advanced;
        return advanced ? Step::Done : Step::Resume;
    }
    result.outcome = sent.verdict.outcome;
    // 409: the server stands elsewhere than this piece began; 460: the piece came to the
    // server other than its digest. Asked, and sent from where the server stands.
    const int status = reply.facts.httpStatus;
    return sent.answered && (isResumable(reply) || status == 409 || status == 460) ? Step::Resume : Step::Failed;
}

bool TusUpload::terminate(const Progress& progress, QDeadlineTimer deadline)
{
    if (progress.url.isEmpty())
        return true;
    ExchangeRequest request;
    request.kind = ExchangeRequest::Kind::Delete;
    request.url = progress.url;
    request.deadline = deadline;
    request.headers = {{"Tus-Resumable", tus_version}};
    PostResult ignored;
    const RoutedExchange::Sent sent = send(request, ignored);
    return sent.answered && sent.reply.facts.httpStatus == 204;
}

void TusUpload::say(const std::string& line) const
{
    if (settings.say)
        settings.say(line);
    else
        Console::out(line);
}

RoutedExchange::Sent TusUpload::send(ExchangeRequest request, PostResult& result)
{
    // Like the post's: the headers given for the URL go to its origin only.
    if (PeerCheck::sameOrigin(request.url, creation))
        request.headers = settings.originHeaders + request.headers;
    RoutedExchange::Sent sent = network.send(request, settings.context, probes);
    const ExchangeReply& reply = sent.reply;
    result.finalUrl = request.url;
    result.proxy = sent.proxy.shown;
    result.httpStatus = sent.answered ? reply.facts.httpStatus : result.httpStatus;
    result.retryAfter = reply.retryAfter;
    result.responseBody = reply.body;
    result.responseContentType = reply.contentType;
    return sent;
}

bool TusUpload::isResumable(const ExchangeReply& reply)
{
    const ReplyFacts& facts = reply.facts;
    if (!reply.localFailure.isEmpty() || facts.end == WaitEnd::Interrupted || facts.end == WaitEnd::Deadline)
        return false;
    if (facts.end == WaitEnd::Idle)
        return true;
    const int status = facts.httpStatus;
    if (status != 0)
        return status == 408 || (status >= 500 && status <= 599);
    // A connection that dropped, was reset or never came up again.
    return facts.errorCode == ExitCode::RemoteHostClosed || facts.errorCode == ExitCode::ConnectionRefused
        || facts.errorCode == ExitCode::Timeout || facts.errorCode == ExitCode::TemporaryNetworkFailure
        || facts.errorCode == ExitCode::UnknownNetwork || facts.errorCode == ExitCode::ProxyConnectionClosed;
}
