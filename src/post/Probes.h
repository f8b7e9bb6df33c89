#ifndef PROBES_H
#define PROBES_H

#include <QByteArray>
#include <QString>

#include <optional>

#include "support/Outcome.h"

// What telling a failure apart may ask of the network beyond the reply
// itself: a connection of its own to a peer. The real probes run in the
// event loop under the run's deadline and its signals; tests script them.
class Probes {
public:
    enum class Reach { Answered, Refused, NotFound, TimedOut, Other };

    // What to send once connected, and how long to wait for what.
    struct Ask {
        QByteArray sent;          // nothing: connect only
        bool endSending = false;  // close this side once sent, so that the peer answers now
        bool untilClosed = false; // after the answer, wait for the peer to close too
        int connectMs = 0;
        int answerMs = 0;
    };

    struct Knock {
        Reach reach = Reach::Other;
        QByteArray answer;               // the start of what the peer sent back
        bool closed = false;             // the peer closed its side within the wait
        std::optional<Outcome> stopped;  // the signal or the deadline that cut the probe short

        int firstByte() const { return answer.isEmpty() ? -1 : static_cast<unsigned char>(answer.at(0)); }
    };

    virtual ~Probes() = default;

    // Connects to host:port directly, never through a proxy.
    virtual Knock knock(const QString& host, quint16 port, const Ask& ask) = 0;
    // How long looking up host's name takes, in ms (at most a minute).
    virtual int lookUpMs(const QString& host) = 0;
};

#endif
