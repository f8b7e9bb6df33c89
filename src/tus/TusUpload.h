#ifndef TUSUPLOAD_H
#define TUSUPLOAD_H

#include <QByteArray>
#include <QDeadlineTimer>
#include <QList>
#include <QUrl>

#include <functional>
#include <memory>
#include <string>

#include "parse/RequestHeaders.h"
#include "post/Exchange.h"
#include "post/PostResult.h"
#include "post/ReplyClassifier.h"
#include "post/RoutedExchange.h"
#include "tus/TusProgress.h"

class FormBody;
class QIODevice;
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
        // Each piece with its digest (the checksum extension), where the server offers it:
        // asked (OPTIONS) at the start of each attempt. A piece cut short is then dropped
        // whole by the server: pieces are at most checksumPieceBytes.
        bool checksums = false;
        int maxResumes = 10;   // offsets asked again within one attempt
        ReplyClassifier::Context context;
        // Where "Upload to" and "Redirect to" go: standard output when unset.
        std::function<void(const std::string&)> say;
    };

    TusUpload(RoutedExchange& exchange, Probes& probes, Settings settings);

    // Blocks until the body is whole at the server, the upload fails, the deadline passes
    // or a signal comes. Delivered: an outcome of 200, the last status kept. bytesSent is
    // what this attempt handed to connections, lost ones included.
    PostResult upload(const QUrl& creationUrl, FormBody& body, QDeadlineTimer deadline, Progress& progress);

    // The body as written so far: its bytes up to ready are final (a part's file is still
    // written past them) unless whole, when all of it is. No body: stop (a signal, the deadline).
    struct Written {
        std::shared_ptr<QIODevice> reads;  // what the body reads of the part still written
        std::unique_ptr<FormBody> body;
        qint64 ready = 0;
        bool whole = false;
    };
    // Waits until more than the confirmed offset is ready, or the body is whole, and gives it.
    using WrittenSoFar = std::function<Written(qint64 confirmed)>;

    // While the body is still written: the upload made with its length deferred, then each
    // piece sent once it is final, until the body is whole or a request fails. The rest, with
    // the length, goes by upload(), from where this left progress.
    PostResult stream(const QUrl& creationUrl, const WrittenSoFar& written, QDeadlineTimer deadline, Progress& progress);

    // The upload is given up (termination): the server may drop what it holds. Whether it did.
    bool terminate(const Progress& progress, QDeadlineTimer deadline);

    static constexpr qint64 checksumPieceBytes = qint64(16) << 20;
    // The digest to send with each piece, of those the server names (Tus-Checksum-Algorithm):
    // sha256, else sha1 (which every server of the extension has); empty when none is offered.
    static QByteArray checksumAlgorithm(const QByteArray& extensions, const QByteArray& algorithms);

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
                PostResult& result, bool lengthDeferred = false);
    Step askOffset(const FormBody& body, QDeadlineTimer deadline, Progress& progress, PostResult& result);
    // The server's checksum algorithm, asked when the settings want one.
    void askChecksum(QDeadlineTimer deadline);
    // The body's bytes from the confirmed offset to to.
    Step sendPiece(FormBody& body, qint64 to, QDeadlineTimer deadline, Progress& progress, PostResult& result);
    // The result's fields of the whole upload: what was sent, where, of what size.
    PostResult finished(PostResult result, qint64 bodySize, const Progress& progress) const;
    // One request by the run's proxy rules; the result's fields of the last request are set.
    RoutedExchange::Sent send(ExchangeRequest request, PostResult& result);
    void say(const std::string& line) const;
    // A failure that the rest of the body may still follow: asked for the offset, then sent.
    static bool isResumable(const ExchangeReply& reply);

    RoutedExchange& network;
    QUrl creation;  // the upload's creation URL: its origin gets --header
    Probes& probes;
    Settings settings;
    qint64 handed = 0;  // body bytes given to connections
    QByteArray checksum;  // the algorithm of each piece's Upload-Checksum; empty: none
};

#endif
