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

    struct Knock {
        Reach reach = Reach::Other;
        int firstByte = -1;              // of what the peer sent back, when anything was sent and it answered
        std::optional<Outcome> stopped;  // the signal or the deadline that cut the probe short
    };

    virtual ~Probes() = default;

    // Connects to host:port directly (never through a proxy) within connectMs,
    // then sends sent, when there is any, and waits up to answerMs for the
    // first byte of an answer.
    virtual Knock knock(const QString& host, quint16 port, const QByteArray& sent, int connectMs, int answerMs) = 0;
    // How long looking up host's name takes, in ms (at most a minute).
    virtual int lookUpMs(const QString& host) = 0;
};

#endif
