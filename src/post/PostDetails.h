#ifndef POSTDETAILS_H
#define POSTDETAILS_H

#include <QByteArray>
#include <QString>
#include <QUrl>

// What one post and its redirects saw beyond their outcome: for the retry's
// wait and for the report.
struct PostDetails {
    QUrl finalUrl;                   // the URL of the last request
    int redirects = 0;               // redirects followed
    qint64 bytesSent = 0;            // body bytes of the last request, from its upload progress
    int httpStatus = 0;              // the last reply's HTTP status, 0 without one
    QByteArray retryAfter;           // the last reply's Retry-After header
    QString proxy;                   // the proxy of the last request, without its password; empty when direct
    QByteArray responseBody;         // the start of the last reply's body
    QByteArray responseContentType;
};

#endif
