#ifndef UPLOADER_H
#define UPLOADER_H

#include <QDeadlineTimer>
#include <QHash>
#include <QSet>
#include <QHttpPart>
#include <QList>
#include <QObject>
#include <QSslCertificate>
#include <QSslError>
#include <QString>
#include <QUrl>

#include <memory>

#include "parse/ClientCertificate.h"
#include "post/ExchangeWatch.h"
#include "support/ProgressLine.h"
#include "parse/ProxySetting.h"
#include "parse/RequestHeaders.h"
#include "argparser.h"

class QIODevice;
class QNetworkAccessManager;
class QNetworkProxy;
class QNetworkReply;
class QNetworkRequest;

// Posts one multipart form, follows redirects itself, and maps the outcome
// to a status code: an HTTP status, or one of the transport codes below 100.
class Uploader : public QObject {
    Q_OBJECT

public:
    struct HTTPResponse {
        qint32 statusCode;
        QString errorString;
        QString redirectUrl;
    };

    // What the last call of uploadMultiPart saw, beyond its result.
    struct Exchange {
        QUrl finalUrl;                 // the URL of the last post
        int redirects = 0;             // redirects followed
        qint64 bytesSent = 0;          // body bytes of the last post, from its upload progress
        int httpStatus = 0;            // the last reply's HTTP status, 0 without one
        QByteArray retryAfter;         // the last reply's Retry-After header
        QString proxy;                 // the proxy of the last post, without its password; empty when direct
        QByteArray responseBody;       // the start of the last reply's body
        QByteArray responseContentType;
        bool interrupted = false;      // SIGINT or SIGTERM ended it
        bool deadlinePassed = false;   // the deadline ended it
    };

    // Installs the process-wide proxy for proxyType; proxy is read only for ManualProxy.
    Uploader(ArgParser::Options::ProxyType proxyType, const ProxySetting& proxy);
    ~Uploader() override;

    // Blocks until the exchange and its redirects are over. Every device in
    // bodyDevices is a part body streamed from disk: it is rewound before each
    // post so that a repeated post carries the whole body again.
    HTTPResponse uploadMultiPart(QUrl url, const QList<QHttpPart>& parts, const QList<QIODevice*>& bodyDevices = {});

    // Verify servers against these CAs instead of accepting every certificate.
    void setCaCertificates(const QList<QSslCertificate>& certificates);
    // Shown to every server that asks for a client certificate.
    void setClientCertificate(const ClientCertificate& certificate);
    // Sent with every request to the origin (scheme, host, port) of the URL given to uploadMultiPart.
    void setRequestHeaders(const QList<RequestHeaders::Header>& headers);
    // Shows how far each upload has come; null: nothing shown.
    void setProgress(ProgressLine* line);
    // Abort an exchange in which no byte moves for this long; 0: no limit.
    void setIdleTimeout(int seconds);
    // Abort whatever exchange is under way when this passes.
    void setDeadline(QDeadlineTimer deadlineTimer, int seconds);
    const Exchange& lastExchange() const;

    static const int maxRedirects = 20;

private slots:
    void sslErrors(QNetworkReply* p_kNetworkReply, const QList<QSslError>& p_kSslErrors);

private:
    // What one reply comes to: the response to return, or a redirect to follow.
    struct Outcome {
        HTTPResponse response;
        bool redirect = false;
        bool tunnelRefused = false;  // the proxy would not tunnel an http:// URL: forward it instead
    };

    QNetworkRequest makeRequest(const QUrl& url, bool withHeaders) const;
    QNetworkProxy proxyFor(const QUrl& url);
    Outcome exchangeOnce(const QNetworkRequest& request, const QNetworkProxy& proxy, const QList<QHttpPart>& parts,
                         const QList<QIODevice*>& bodyDevices);
    HTTPResponse probeProxy(const QNetworkRequest& request, const QNetworkProxy& proxy);
    std::unique_ptr<QNetworkReply> post(const QNetworkRequest& request, const QList<QHttpPart>& parts);
    ExchangeWatch::Result waitForReply(QNetworkReply& reply, const QNetworkProxy& proxy);
    int proxyGoneMs(const QNetworkProxy& proxy);
    Outcome classify(QNetworkReply& reply, const QNetworkProxy& proxy, const ExchangeWatch::Result& wait);

    std::unique_ptr<QNetworkAccessManager> networkManager;
    QList<QSslCertificate> caCertificates;
    ClientCertificate clientCertificate;
    QList<RequestHeaders::Header> requestHeaders;
    int idleTimeoutSeconds = 0;
    QDeadlineTimer deadline{QDeadlineTimer::Forever};
    int deadlineSeconds = 0;
    QList<QSslError> handshakeErrors;  // of the reply under way
    ProgressLine* progress = nullptr;
    Exchange exchange;
    QHash<QString, int> proxyLookupMs;  // how long each proxy's name took to look up
    QSet<QString> refusedTunnels;        // the proxies (HOST:PORT) that refused a CONNECT for an http:// URL
};

#endif
