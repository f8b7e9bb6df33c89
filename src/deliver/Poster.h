#ifndef POSTER_H
#define POSTER_H

#include <QDeadlineTimer>
#include <QHttpPart>
#include <QList>
#include <QUrl>

#include <optional>

#include "form/FormPart.h"
#include "parse/RequestHeaders.h"
#include "post/PostResult.h"
#include "tus/TusProgress.h"

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

    // How the posts from now on send their form: as the POST (nullopt), or as the resumable
    // upload given, of the same parts, on from where it stands. Only the real poster uploads.
    virtual void setResumable(const QList<FormPart>& /*form*/, const QByteArray& /*eventId*/,
                              const std::optional<ResumableUpload>& /*upload*/)
    {
    }
    // Where that upload stands after the last post; nullopt for the POST.
    virtual std::optional<ResumableUpload> resumable() const { return std::nullopt; }
};

#endif
