#ifndef REPLYFACTS_H
#define REPLYFACTS_H

#include <QList>
#include <QNetworkReply>
#include <QSslError>
#include <QString>
#include <QStringList>
#include <QUrl>

#include "post/ReplyWatch.h"

class QNetworkProxy;

// How a request went: directly, or through which kind of proxy, and how.
struct Route {
    enum class Via { Direct, HttpProxy, SocksProxy };

    Via via = Via::Direct;
    bool tunnel = false;  // through an HTTP proxy's CONNECT: every https:// URL, and http:// unless refused
    QString proxyHost;
    quint16 proxyPort = 0;

    // The route Qt takes for url through proxy, as installed for it.
    static Route of(const QNetworkProxy& proxy, const QUrl& url);

    bool isDirect() const { return via == Via::Direct; }
    // An http:// URL through an HTTP proxy, tunnelled or forwarded.
    bool plainHttpThroughProxy(const QUrl& url) const;
    // An http:// URL that the HTTP proxy forwards itself, which answers a 407 only after the whole body.
    bool forwards(const QUrl& url) const { return plainHttpThroughProxy(url) && !tunnel; }
    // HOST:PORT of the proxy, for messages: never its user or password.
    QString proxyEndpoint() const;
};

// What one reply and the wait for it came to, as plain values: all that
// classifying it needs, so that the classification runs without a network.
struct ReplyFacts {
    QUrl url;                     // where the request went
    int httpStatus = 0;           // 0 without one
    QUrl redirectTarget;          // the Location of a redirect, as Qt read it
    QNetworkReply::NetworkError error = QNetworkReply::NoError;
    QString errorText;            // Qt's, without the URL's password
    QStringList tlsReasons;       // why the certificate did not verify, when it did not
    ReplyWatch::End end = ReplyWatch::End::Finished;
    int signal = 0;               // the signal that ended the wait, with End::Interrupted
    bool encrypted = false;       // a TLS session came up
    qint64 bytesSent = 0;         // the most of the body that Qt reported sent

    // The facts of a reply that has been waited for, and the TLS errors met on its way.
    static ReplyFacts of(const QNetworkReply& reply, const ReplyWatch::Result& wait, const QList<QSslError>& tlsErrors);
};

#endif
