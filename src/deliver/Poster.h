#ifndef POSTER_H
#define POSTER_H

#include <QDeadlineTimer>
#include <QHttpPart>
#include <QList>
#include <QUrl>

#include "parse/RequestHeaders.h"
#include "post/PostResult.h"

class QIODevice;

// What a delivery needs of the transport: one form posted, its redirects
// followed. The uploader is the one real poster; tests script their own.
class Poster {
public:
    virtual ~Poster() = default;

    // Blocks until the post and its redirects are over, the deadline has
    // passed or a signal came. Every device in bodyDevices is a part's body
    // streamed from disk: it is rewound before each request. eventHeaders
    // go with every request of the post, whatever its origin.
    virtual PostResult post(const QUrl& url, const QList<QHttpPart>& parts, const QList<QIODevice*>& bodyDevices,
                            const QList<RequestHeaders::Header>& eventHeaders, QDeadlineTimer deadline) = 0;
};

#endif
