#ifndef UPLOADER_H
#define UPLOADER_H

#include <QHttpPart>
#include <QList>
#include <QObject>
#include <QSslError>
#include <QString>
#include <QUrl>

#include "argparser.h"

class QIODevice;
class QNetworkAccessManager;
class QNetworkReply;

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

    // Installs the process-wide proxy for proxyType; proxy is read only for ManualProxy.
    Uploader(ArgParser::Options::ProxyType proxyType, QString proxy);
    ~Uploader() override;

    // Blocks until the exchange and its redirects are over. Every device in
    // bodyDevices is a part body streamed from disk: it is rewound before each
    // post so that a repeated post carries the whole body again.
    HTTPResponse uploadMultiPart(QUrl url, QList<QHttpPart> parts, const QList<QIODevice*>& bodyDevices = {});

    static const int maxRedirects = 20;

private slots:
    void sslErrors(QNetworkReply* p_kNetworkReply, const QList<QSslError>& p_kSslErrors);

private:
    QNetworkAccessManager* networkManager;
};

#endif
