#ifndef TUSPROGRESS_H
#define TUSPROGRESS_H

#include <QByteArray>
#include <QUrl>

// Where a resumable upload stands: kept across attempts, and by the queue across runs.
struct TusProgress {
    QUrl url;                 // the upload's, once made
    qint64 confirmed = 0;     // the offset the server last confirmed
    qint64 sent = 0;          // the most of the body ever handed to a connection
    bool startedOver = false; // an upload the server forgot is made again once only
    // Made before its length was known: the piece that ends the body declares it.
    bool lengthDeferred = false;
    // The offset was confirmed by this run's last request, which did not fail: the next piece
    // goes without asking. Never kept across runs.
    bool settled = false;
};

// A resumable upload as it goes on in a later attempt or run: the same body (its boundary
// makes the same bytes of the same parts), and where it stands.
struct ResumableUpload {
    QByteArray boundary;
    TusProgress progress;

    // What a boundary may be (RFC 2046): 1 to 70 of its characters, not ending in a space.
    static bool isBoundary(const QByteArray& boundary);
};

#endif
