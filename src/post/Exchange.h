#ifndef EXCHANGE_H
#define EXCHANGE_H

#include <QByteArray>
#include <QDeadlineTimer>
#include <QList>
#include <QPair>
#include <QString>
#include <QUrl>

#include "parse/RequestHeaders.h"
#include "post/ReplyFacts.h"

class QIODevice;

// One request and its reply: all the post's logic asks of the network. The
// real exchange is Qt's (net/QtExchange); tests script their own.
struct ExchangeRequest {
    enum class Kind {
        Form,     // the POST of the run's form, its bodies rewound first
        Options,  // an OPTIONS of the same URL, that settles a forwarding proxy's authentication first
        // A resumable upload's (tus): the upload made, without a body; a piece of the
        // form's body, the body's range below; the upload's offset asked; the upload given up.
        Create,
        Patch,
        Head,
        Delete,
    };

    Kind kind = Kind::Form;
    QUrl url;
    QList<RequestHeaders::Header> headers;  // besides the exchange's own
    ProxyUse proxy;
    int peerGoneMs = 0;          // end when no connection to the proxy is open or opening this long; 0: never
    int handshakeExchanges = 0;  // a tunnel's bound on its proxy's exchanges before it is under way; 0: none
    QDeadlineTimer deadline{QDeadlineTimer::Forever};
    QIODevice* body = nullptr;  // a Patch's: sent whole, from its start
    // A Patch's place in the whole body, for the progress line: its first byte's offset, and the
    // body's size (0: the request's own body is the whole).
    qint64 progressFrom = 0;
    qint64 progressTotal = 0;
};

struct ExchangeReply {
    ReplyFacts facts;
    QByteArray retryAfter;   // the reply's Retry-After header
    QByteArray body;         // the start of its body, at most ReplyBounds::bodyLimit bytes
    QByteArray contentType;
    QString localFailure;    // a body of the form changed while it was sent: the reply is not the form's
    QList<QPair<QByteArray, QByteArray>> headers;  // all of the reply's, as they came

    // The value of the first header of that name (any case), or a null array.
    QByteArray header(const QByteArray& name) const
    {
        for (const auto& pair : headers)
            if (pair.first.compare(name, Qt::CaseInsensitive) == 0)
                return pair.second;
        return {};
    }
};

class Exchange {
public:
    virtual ~Exchange() = default;

    // Blocks until the reply is in or the wait ends (ReplyFacts::end says how).
    virtual ExchangeReply exchange(const ExchangeRequest& request) = 0;
    // Begins the connection that request will take (the lookup, TCP, a proxy's tunnel,
    // TLS) and returns at once; sends nothing over it. The next exchange of the same
    // origin and proxy goes over it; one that failed is made again by that exchange.
    virtual void prepare(const ExchangeRequest& request) { (void)request; }
    // Drops the connections kept for reuse: the next request makes a fresh one.
    virtual void dropConnections() = 0;
};

#endif
