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
    {
    }

    TransportOptions transport;
    QtExchange exchange;
    InstalledProxies lookup;
    KerberosTokens tokens;
    ProxyChoice proxies;
    Post logic;
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

PostResult Uploader::post(const QUrl& url, const QList<QHttpPart>& parts, const QList<QIODevice*>& bodyDevices,
                          const QList<RequestHeaders::Header>& eventHeaders, QDeadlineTimer deadline)
{
    const CpuPinning pinning;  // for the upload only: the archiver ran before, with the whole mask
    d->exchange.setForm(parts, bodyDevices);
    NetworkProbes probes(deadline, d->transport.maxTime);
    return d->logic.post(url, eventHeaders, deadline, probes);
}

void Uploader::sslErrors(QNetworkReply* p_kNetworkReply, const QList<QSslError>& p_kSslErrors)
{
    d->exchange.certificateErrors(*p_kNetworkReply, p_kSslErrors);
}
