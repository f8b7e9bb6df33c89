#include "Uploader.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>

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
#include "form/FormBody.h"
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
    d->resumableBody.reset();
    if (!upload)
        return;
    d->resumableBody = std::make_unique<FormBody>(form, upload->boundary);
    d->resumableBody->open(QIODevice::ReadOnly);
    d->resumed = upload->progress;
    d->resumedBytes = 0;
    d->resumable.originHeaders = d->transport.headers.list();
    d->resumable.eventId = eventId;
    d->resumable.fileName = EventForm::archiveName(QString::fromLatin1(eventId)).toLatin1();
    d->resumable.context = {d->transport.idleTimeout, d->transport.maxTime, 0};
}

std::optional<ResumableUpload> Uploader::resumable() const
{
    if (!d->resumableBody)
        return std::nullopt;
    return ResumableUpload{d->resumableBody->boundaryText(), d->resumed};
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
