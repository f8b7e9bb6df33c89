#include "Uploader.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QEventLoop>
#include <QTimer>

#include "Uploader_p.h"
#include "net/CpuPinning.h"
#include "net/InstalledProxies.h"
#include "net/KerberosTokens.h"
#include "net/NetworkProbes.h"
#include "net/ProxyInstallation.h"
#include "net/QtExchange.h"
#include "post/Post.h"
#include "post/ProxyChoice.h"
#include "form/EventForm.h"
#include "form/BodyFile.h"
#include "form/FormBody.h"
#include "support/Interruption.h"
#include "tus/TusUpload.h"

namespace UploaderInternal {

QString computeRedirectUrl(const QUrl& requestUrl, const QUrl& redirectTarget)
{
    return Post::redirectUrl(requestUrl, redirectTarget);
}

}

// The pieces of one uploader: Qt's exchange, the run's proxies and tokens, and the logic over them.
struct Uploader::Parts {
    Parts(const TransportOptions& transport, ProgressLine* progress)
        : transport(transport)
        , exchange(transport, progress)
        , proxies(lookup, transport.kerberos ? &tokens : nullptr)
        , logic(exchange, proxies, {transport.headers.list(), transport.idleTimeout, transport.maxTime})
        , routed(exchange, proxies, transport.maxTime)
    {
    }

    TransportOptions transport;
    QtExchange exchange;
    InstalledProxies lookup;
    KerberosTokens tokens;
    ProxyChoice proxies;
    Post logic;
    RoutedExchange routed;  // a resumable upload's requests, by the post's proxy rules
    // A resumable upload's: its body, and where it stands across attempts.
    std::unique_ptr<FormBody> resumableBody;
    TusUpload::Settings resumable;
    TusUpload::Progress resumed;
    qint64 resumedBytes = 0;
    QList<FormPart> resumableForm;
    std::optional<QDeadlineTimer> uploadDeadline;  // begun by sendWhileWritten
};

Uploader::Uploader(TransportOptions::ProxyType proxyType, const ProxySetting& proxy)
    : Uploader([&] {
        TransportOptions transport;
        transport.proxyType = proxyType;
        transport.proxySetting = proxy;
        return transport;
    }(), nullptr)
{
}

Uploader::Uploader(const TransportOptions& transport, ProgressLine* progress)
    : QObject(nullptr)
    , d(std::make_unique<Parts>(transport, progress))
{
    connect(&d->exchange.manager(), &QNetworkAccessManager::sslErrors, this, &Uploader::sslErrors);
    ProxyInstallation::install(transport.proxyType, transport.proxySetting);
}

Uploader::~Uploader() = default;

void Uploader::prepare(const QUrl& url)
{
    d->logic.prepare(url);
}

// The URL by value, as callers have always passed it; no deadline.
Uploader::HTTPResponse Uploader::uploadMultiPart(QUrl url,  // NOLINT(performance-unnecessary-value-param)
                                                  const QList<QHttpPart>& parts, const QList<QIODevice*>& bodyDevices)
{
    const Outcome outcome = post(url, parts, bodyDevices, {}, QDeadlineTimer(QDeadlineTimer::Forever)).outcome;
    return {outcome.code, outcome.text, QString()};
}

void Uploader::setResumable(const QList<FormPart>& form, const QByteArray& eventId,
                            const std::optional<ResumableUpload>& upload)
{
    if (!upload) {
        d->resumableBody.reset();
        return;
    }
    // The same upload going on (its body's boundary): what it sent so far still counts.
    if (!d->resumableBody || d->resumableBody->boundaryText() != upload->boundary)
        d->resumedBytes = 0;
    d->resumableForm = form;
    d->resumableBody = std::make_unique<FormBody>(form, upload->boundary);
    d->resumableBody->open(QIODevice::ReadOnly);
    d->resumed = upload->progress;
    d->resumable.originHeaders = d->transport.headers.list();
    d->resumable.eventId = eventId;
    d->resumable.fileName = EventForm::archiveName(QString::fromLatin1(eventId)).toLatin1();
    d->resumable.context = {d->transport.idleTimeout, d->transport.maxTime, 0};
    // A form with its parts' digests (--hash-parts) goes with a digest of each piece too.
    d->resumable.checksums = std::any_of(form.begin(), form.end(), [](const FormPart& part) { return !part.sha256.isEmpty(); });
}

std::optional<ResumableUpload> Uploader::resumable() const
{
    if (!d->resumableBody)
        return std::nullopt;
    return ResumableUpload{d->resumableBody->boundaryText(), d->resumed};
}

void Uploader::sendWhileWritten(const QUrl& url, BodyFile& archive, const std::function<bool()>& writingOver,
                                std::vector<std::string>& held)
{
    if (!d->resumableBody || !archive.isOpen())
        return;
    // The upload phase begins here: --max-time bounds it from now on, the delivery after included.
    const QDeadlineTimer deadline = TransportOptions::deadlineFromNow(d->transport.maxTime);
    d->uploadDeadline = deadline;
    const QByteArray boundary = d->resumableBody->boundaryText();
    // The form as the archive stands: its file's bytes so far are final, and read through a
    // file of their own size. A piece waits for a MiB, as each costs a round trip; while one
    // is sent, the next grows: pieces grow to what the link carries in a round trip.
    const TusUpload::WrittenSoFar written = [&](qint64 confirmed) {
        const qint64 leastPiece = qint64(1) << 20;
        for (;;) {
            TusUpload::Written now;
            now.whole = writingOver();  // asked before the size: a size read after it is the last
            auto file = std::make_shared<BodyFile>();
            if (!file->open(archive.handle(), QIODevice::ReadOnly))
                return TusUpload::Written();
            QList<FormPart> form = d->resumableForm;
            for (FormPart& part : form)
                if (part.bodyDevice == &archive)
                    part.bodyDevice = file.get();
            now.body = std::make_unique<FormBody>(form, boundary);
            now.ready = now.body->endOf(file.get());
            now.reads = std::move(file);
            if (now.whole || now.ready - confirmed >= leastPiece)
                return now;
            if (deadline.hasExpired() || Interruption::received())
                return TusUpload::Written();
            QEventLoop pause;
            QTimer tick;
            tick.setSingleShot(true);
            QObject::connect(&tick, &QTimer::timeout, &pause, &QEventLoop::quit);
            tick.start(20);
            Interruption::endsLoop(pause);
            pause.exec();
        }
    };
    const CpuPinning pinning;
    NetworkProbes probes(deadline, d->transport.maxTime);
    TusUpload::Settings settings = d->resumable;
    settings.say = [&held](const std::string& line) { held.push_back(line); };
    TusUpload tus(d->routed, probes, settings);
    d->resumedBytes += tus.stream(url, written, deadline, d->resumed).bytesSent;
}

std::optional<QDeadlineTimer> Uploader::uploadDeadline() const
{
    return d->uploadDeadline;
}

void Uploader::abandonResumable()
{
    if (!d->resumableBody || d->resumed.url.isEmpty())
        return;
    const QDeadlineTimer deadline(5000);
    NetworkProbes probes(deadline, 5);
    TusUpload(d->routed, probes, d->resumable).terminate(d->resumed, deadline);
    d->resumed = TusUpload::Progress();
}

PostResult Uploader::post(const QUrl& url, const QList<QHttpPart>& parts, const QList<QIODevice*>& bodyDevices,
                          const QList<RequestHeaders::Header>& eventHeaders, QDeadlineTimer deadline)
{
    const CpuPinning pinning;  // for the upload only: the archiver ran before, with the whole mask
    if (d->resumableBody) {
        NetworkProbes probes(deadline, d->transport.maxTime);
        TusUpload::Settings settings = d->resumable;
        settings.creationHeaders = eventHeaders;
        TusUpload tus(d->routed, probes, settings);
        PostResult result = tus.upload(url, *d->resumableBody, deadline, d->resumed);
        d->resumedBytes += result.bytesSent;
        result.bytesSent = d->resumedBytes;  // over the delivery's attempts
        return result;
    }
    d->exchange.setForm(parts, bodyDevices);
    NetworkProbes probes(deadline, d->transport.maxTime);
    return d->logic.post(url, eventHeaders, deadline, probes);
}

void Uploader::sslErrors(QNetworkReply* p_kNetworkReply, const QList<QSslError>& p_kSslErrors)
{
    d->exchange.certificateErrors(*p_kNetworkReply, p_kSslErrors);
}
