#ifndef REPLYWATCH_H
#define REPLYWATCH_H

#include <QByteArray>
#include <QDeadlineTimer>

#include <functional>

#include "post/ReplyFacts.h"

class QNetworkReply;

// Waits for one reply, and ends it early when no byte moves for the idle
// time, when the deadline passes, when the process is asked to stop, when
// the reply's body passes ReplyBounds::replyLimit, when its header lines pass their bound
// (HeaderBound), or when no connection to the peer is left while Qt still
// waits (it does, when a proxy closes on CONNECT).
namespace ReplyWatch {

using End = WaitEnd;

struct Settings {
    int idleSeconds = 0;                             // 0: no idle limit
    QDeadlineTimer deadline{QDeadlineTimer::Forever};
    quint16 peerPort = 0;                            // the collector's, or the proxy's when one is used
    int peerGoneMs = 0;                              // end when no connection to it is open or opening this long; 0: never
    // A tunnel's: how many exchanges with the proxy there may be before the exchange is
    // under way (CONNECTs answered with a 407, an NTLM challenge, the 200, then TLS's own);
    // past it, the proxy asks for the same credentials again and again, and Qt answers each
    // time (it does, for a wrong NTLM password). Each answer is bounded as any reply is,
    // however large or slow. 0: no bound.
    int handshakeExchanges = 0;
    bool encrypted = false;  // the connection it goes over is up with TLS already: Qt tells only a new one
    std::function<void(qint64 sent, qint64 total)> uploadProgress;
    std::function<void()> tick;                      // a few times a second, while waiting
};

struct Result {
    End end = End::Finished;
    bool encrypted = false;  // a TLS session came up
    qint64 bytesSent = 0;    // the most of the body that Qt reported sent
    QByteArray body;         // the start of the reply's body, at most ReplyBounds::bodyLimit bytes
};

Result watch(QNetworkReply& reply, const Settings& settings);

}

#endif
