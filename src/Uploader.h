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

#include "deliver/Poster.h"
#include "form/FormPart.h"
#include "parse/TransportOptions.h"
#include "post/PostResult.h"
#include "post/ReplyClassifier.h"
#include "support/Outcome.h"

class BodyFile;
class QIODevice;
class QNetworkReply;
class ProgressLine;

// Posts one multipart form, follows redirects itself, and maps the outcome
// to a status code: an HTTP status, or one of the transport codes below 100.
// The logic is the post's (post/Post), over Qt's exchange (net/QtExchange);
// this is the real poster that joins them.
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

    // Begins the connection that a post to url will take, and returns at once (Post::prepare).
    void prepare(const QUrl& url);
    // A resumable upload (tus) with the URL its creation: the same body as the POST's, made
    // once and sent from where the server stands, across the delivery's attempts.
    void setResumable(const QList<FormPart>& form, const QByteArray& eventId,
                      const std::optional<ResumableUpload>& upload) override;
    std::optional<ResumableUpload> resumable() const override;
    // While archive, the resumable form's file part, is still written (writingOver says when
    // it is not any more): the upload made with its length deferred, each piece sent once
    // final, until the archive is written or a request fails; the post then sends the rest
    // from there. The lines it would print go to held, to be printed after the archive's.
    void sendWhileWritten(const QUrl& url, BodyFile& archive, const std::function<bool()>& writingOver,
                          std::vector<std::string>& held);
    // Deletes the upload that sendWhileWritten made, when the archive failed: within a few seconds, quietly.
    void abandonResumable();
    // The upload phase's deadline (--max-time), when sendWhileWritten began it: the delivery keeps it.
    std::optional<QDeadlineTimer> uploadDeadline() const;
    // One post without a deadline: its outcome as a code and a text.
    HTTPResponse uploadMultiPart(QUrl url, const QList<QHttpPart>& parts, const QList<QIODevice*>& bodyDevices = {});
    PostResult post(const QUrl& url, const QList<QHttpPart>& parts, const QList<QIODevice*>& bodyDevices,
                    const QList<RequestHeaders::Header>& eventHeaders, QDeadlineTimer deadline) override;

    static constexpr int maxRedirects = ReplyClassifier::maxRedirects;

private slots:
    void sslErrors(QNetworkReply* p_kNetworkReply, const QList<QSslError>& p_kSslErrors);

private:
    struct Parts;
    std::unique_ptr<Parts> d;
};

#endif
