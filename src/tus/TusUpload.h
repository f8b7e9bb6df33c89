#ifndef TUSUPLOAD_H
#define TUSUPLOAD_H

#include <QByteArray>
#include <QDeadlineTimer>
#include <QList>
#include <QUrl>

#include "parse/RequestHeaders.h"
#include "post/Exchange.h"
#include "post/PostResult.h"
#include "post/ReplyClassifier.h"
#include "post/RoutedExchange.h"
#include "tus/TusProgress.h"

class FormBody;
class Probes;

// The form sent as a resumable upload (tus 1.0, core and creation): the upload made
// once, then its body sent from where the server stands. A connection that drops, a stall
// past the idle time, a 5xx or a 408 during a piece costs only what was in flight: the
// offset is asked (HEAD) and the rest sent, within the same deadline. Every request goes
// by the run's proxy rules, as the post's do (RoutedExchange).
class TusUpload {
public:
    using Progress = TusProgress;

    struct Settings {
        QList<RequestHeaders::Header> originHeaders;    // --header: with every request to the creation's origin
        QList<RequestHeaders::Header> creationHeaders;  // with the creation only (the Idempotency-Key)
        QByteArray eventId;
        QByteArray fileName;   // what the upload's metadata names it
        qint64 pieceBytes = 0; // at most this much a PATCH; 0: the rest whole
        int maxResumes = 10;   // offsets asked again within one attempt
        ReplyClassifier::Context context;
    };

    TusUpload(RoutedExchange& exchange, Probes& probes, Settings settings);

    // Blocks until the body is whole at the server, the upload fails, the deadline passes
    // or a signal comes. Delivered: an outcome of 200, the last status kept. bytesSent is
    // what this attempt handed to connections, lost ones included.
    PostResult upload(const QUrl& creationUrl, FormBody& body, QDeadlineTimer deadline, Progress& progress);

    // The creation's Upload-Metadata: the body's content type (its boundary), the event
    // id and the file name, each base64, as tus asks.
    static QByteArray metadata(const QByteArray& contentType, const QByteArray& eventId, const QByteArray& fileName);
    // Whether an offset the server reports can be true: never past what was sent or the
    // body's end, never before what it confirmed.
    static bool isPossibleOffset(qint64 offset, const Progress& progress, qint64 bodySize);

private:
    enum class Step { Done, Resume, Failed };
    PostResult goOn(const QUrl& creationUrl, FormBody& body, QDeadlineTimer deadline, Progress& progress);
    Step create(const QUrl& creationUrl, const FormBody& body, QDeadlineTimer deadline, Progress& progress,
                PostResult& result);
    Step askOffset(const FormBody& body, QDeadlineTimer deadline, Progress& progress, PostResult& result);
    Step sendPiece(FormBody& body, QDeadlineTimer deadline, Progress& progress, PostResult& result);
    // One request by the run's proxy rules; the result's fields of the last request are set.
    RoutedExchange::Sent send(ExchangeRequest request, PostResult& result);
    // A failure that the rest of the body may still follow: asked for the offset, then sent.
    static bool isResumable(const ExchangeReply& reply);

    RoutedExchange& network;
    QUrl creation;  // the upload's creation URL: its origin gets --header
    Probes& probes;
    Settings settings;
    qint64 handed = 0;  // body bytes given to connections
};

#endif
