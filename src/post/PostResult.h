#ifndef POSTRESULT_H
#define POSTRESULT_H

#include <QByteArray>
#include <QString>
#include <QUrl>

#include "support/Outcome.h"

// What one post and its redirects came to: how it ended, and what the retry's
// wait and the report need of its last request. One shape from the post to the
// report, for a run's event and a resend's alike.
struct PostResult {
    Outcome outcome;
    QUrl finalUrl = QUrl();          // the URL of the last request
    int redirects = 0;               // redirects followed
    qint64 bytesSent = 0;            // body bytes of the last request; of every piece, for a resumable upload
    int httpStatus = 0;              // the last reply's HTTP status as the server sent it, 0 without one
    QByteArray retryAfter = QByteArray();  // the last reply's Retry-After header
    QString proxy = QString();             // the proxy of the last request, without its password; empty when direct
    QByteArray responseBody = QByteArray();  // the start of the last reply's body
    QByteArray responseContentType = QByteArray();
    // A resumable upload's: its URL once made, and its body's size; -1 for a POST.
    QUrl uploadUrl = QUrl();
    qint64 bodyBytes = -1;
};

#endif
