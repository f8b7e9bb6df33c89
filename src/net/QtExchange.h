#ifndef QTEXCHANGE_H
#define QTEXCHANGE_H

#include <QHttpPart>
#include <QList>
#include <QSet>
#include <QSslError>

#include <memory>

#include "net/ReplyWatch.h"
#include "parse/TransportOptions.h"
#include "post/Exchange.h"

class ProgressLine;
class QIODevice;
class QNetworkAccessManager;
class QNetworkReply;
class QNetworkRequest;

// The exchange over Qt: one request sent by the process's network manager,
// its reply waited for (ReplyWatch) and read into plain facts. The form that
// a Form request posts is given before the post, as Qt's parts.
class QtExchange : public Exchange {
public:
    // progress (which may be null) shows how far each upload has come.
    QtExchange(TransportOptions transport, ProgressLine* progress);
    ~QtExchange() override;

    QNetworkAccessManager& manager() { return *networkManager; }
    // The form of the post under way: every device in bodyDevices is a part's body
    // streamed from disk, rewound before each request that sends it.
    void setForm(const QList<QHttpPart>& parts, const QList<QIODevice*>& bodyDevices);
    // The manager's certificate errors for reply: accepted without --cacert, else kept for its facts.
    void certificateErrors(QNetworkReply& reply, const QList<QSslError>& errors);

    ExchangeReply exchange(const ExchangeRequest& request) override;
    void dropConnections() override;
    void prepare(const ExchangeRequest& request) override;

    // The program's own code for a Qt network error (a QNetworkReply::NetworkError).
    static int transportCode(int qtError);
    // What Qt gives of an error only in its words (text, for the error qtError).
    static ErrorDetail detailOf(int qtError, const QString& text);

private:
    static QString connectionKey(const ExchangeRequest& request);
    // What a reply and its wait come to, as the reply to a request for url.
    ExchangeReply replyOf(QNetworkReply& reply, const QUrl& url, const ReplyWatch::Result& wait) const;
    QNetworkRequest makeRequest(const ExchangeRequest& request) const;
    std::unique_ptr<QNetworkReply> send(const QNetworkRequest& request, ExchangeRequest::Kind kind, QIODevice* body);

    std::unique_ptr<QNetworkAccessManager> networkManager;
    TransportOptions transport;
    ProgressLine* progress;
    QList<QHttpPart> parts;
    QList<QIODevice*> bodyDevices;
    QList<QSslError> handshakeErrors;  // of the reply under way
    std::unique_ptr<QNetworkReply> preparing;  // Qt's connection made ahead: its reply carries no request
    // The collector and proxy (connectionKey) of the connections that came up with TLS:
    // a request over one that Qt keeps hears nothing of it.
    QSet<QString> encryptedConnections;
};

#endif
