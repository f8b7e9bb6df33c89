#ifndef UPLOADER_H
#define UPLOADER_H

#include <QDeadlineTimer>
#include <QHash>
#include <QHttpPart>
#include <QList>
#include <QObject>
#include <QSet>
#include <QSslError>
#include <QString>
#include <QUrl>

#include <memory>

#include "parse/TransportOptions.h"
#include "post/Outcome.h"
#include "post/PostDetails.h"
#include "post/Poster.h"
#include "post/ReplyWatch.h"

class QIODevice;
class QNetworkAccessManager;
class QNetworkProxy;
class QNetworkReply;
class QNetworkRequest;
class ProgressLine;

// Posts one multipart form, follows redirects itself, and maps the outcome
// to a status code: an HTTP status, or one of the transport codes below 100.
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
                 QDeadlineTimer deadline, PostDetails& details) override;

    static const int maxRedirects = 20;

private slots:
    void sslErrors(QNetworkReply* p_kNetworkReply, const QList<QSslError>& p_kSslErrors);

private:
    // What one reply comes to: an outcome, or a redirect to follow.
    struct Reply {
        Outcome outcome;
        QString redirectUrl = QString();
        bool redirect = false;       // a redirect to redirectUrl, to be followed
        bool tunnelRefused = false;  // the proxy would not tunnel an http:// URL: forward it instead
    };

    QNetworkRequest makeRequest(const QUrl& url, bool withHeaders) const;
    QNetworkProxy proxyFor(const QUrl& url);
    Reply postOnce(const QNetworkRequest& request, const QNetworkProxy& proxy, const QList<QHttpPart>& parts,
                   const QList<QIODevice*>& bodyDevices);
    Outcome probeProxy(const QNetworkRequest& request, const QNetworkProxy& proxy);
    std::unique_ptr<QNetworkReply> send(const QNetworkRequest& request, const QList<QHttpPart>& parts);
    ReplyWatch::Result waitForReply(QNetworkReply& reply, const QNetworkProxy& proxy);
    int proxyGoneMs(const QNetworkProxy& proxy);
    Reply classify(QNetworkReply& reply, const QNetworkProxy& proxy, const ReplyWatch::Result& wait);
    Outcome answered(QNetworkReply& reply, const QNetworkProxy& proxy, const ReplyWatch::Result& wait);

    std::unique_ptr<QNetworkAccessManager> networkManager;
    TransportOptions transport;
    ProgressLine* progress = nullptr;
    QDeadlineTimer deadline{QDeadlineTimer::Forever};  // of the post under way
    QList<QSslError> handshakeErrors;                  // of the reply under way
    PostDetails details;                               // of the post under way
    QHash<QString, int> proxyLookupMs;  // how long each proxy's name took to look up
    QSet<QString> refusedTunnels;        // the proxies (HOST:PORT) that refused a CONNECT for an http:// URL
};

#endif
