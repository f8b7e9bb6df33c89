#ifndef UPLOADER_H
#define UPLOADER_H

#include <QDeadlineTimer>
#include <QHttpPart>
#include <QList>
#include <QObject>
#include <QSslError>
#include <QString>
#include <QUrl>

#include <memory>

#include "parse/TransportOptions.h"
#include "post/PostDetails.h"
#include "post/ProxyChoice.h"
#include "post/Poster.h"
#include "post/ReplyClassifier.h"
#include "post/ReplyWatch.h"
#include "support/Outcome.h"

class QIODevice;
class QNetworkAccessManager;
class QNetworkProxy;
class QNetworkReply;
class QNetworkRequest;
class ProgressLine;
class Probes;

// Posts one multipart form, follows redirects itself, and maps the outcome
// to a status code: an HTTP status, or one of the transport codes below 100.
// What a reply comes to is ReplyClassifier's; this is the Qt request, the
// wait and the redirect loop.
class Uploader : public QObject, public Poster {
    Q_OBJECT

public:
    struct HTTPResponse {
        qint32 statusCode;
        QString errorString;
        QString redirectUrl = QString();
    };

    // Installs the process-wide proxy for proxyType; proxy is read only for ManualProxy.
    Uploader(TransportOptions::ProxyType proxyType, const ProxySetting& proxy);
    // The same, for the transport options of a run; progress (which may be
    // null) shows how far each upload has come.
    Uploader(const TransportOptions& transport, ProgressLine* progress);
    ~Uploader() override;

    // One post without a deadline: its outcome as a code and a text.
    HTTPResponse uploadMultiPart(QUrl url, const QList<QHttpPart>& parts, const QList<QIODevice*>& bodyDevices = {});
    Outcome post(const QUrl& url, const QList<QHttpPart>& parts, const QList<QIODevice*>& bodyDevices,
                 const QList<RequestHeaders::Header>& eventHeaders, QDeadlineTimer deadline, PostDetails& details) override;

    static constexpr int maxRedirects = ReplyClassifier::maxRedirects;

private slots:
    void sslErrors(QNetworkReply* p_kNetworkReply, const QList<QSslError>& p_kSslErrors);

private:
    QNetworkRequest makeRequest(const QUrl& url, bool withHeaders, const QList<RequestHeaders::Header>& eventHeaders) const;
    ReplyClassifier::Context context(int redirects) const { return {transport.idleTimeout, transport.maxTime, redirects}; }
    QNetworkProxy proxyFor(const QUrl& url);
    ReplyClassifier::Verdict postOnce(const QNetworkRequest& request, const QNetworkProxy& proxy,
                                      const QList<QHttpPart>& parts, const QList<QIODevice*>& bodyDevices,
                                      int redirects, Probes& probes);
    ReplyClassifier::Verdict probeProxy(const QNetworkRequest& request, const QNetworkProxy& proxy, Probes& probes);
    std::unique_ptr<QNetworkReply> send(const QNetworkRequest& request, const QList<QHttpPart>& parts);
    // Waits for reply and gives what it came to, as plain facts; what the report keeps goes to details.
    ReplyFacts waitForReply(QNetworkReply& reply, const QNetworkProxy& proxy, Probes& probes);

    std::unique_ptr<QNetworkAccessManager> networkManager;
    TransportOptions transport;
    ProgressLine* progress = nullptr;
    QDeadlineTimer deadline{QDeadlineTimer::Forever};  // of the post under way
    QList<QSslError> handshakeErrors;                  // of the reply under way
    PostDetails details;                               // of the post under way
    ProxyChoice proxies;
};

#endif
