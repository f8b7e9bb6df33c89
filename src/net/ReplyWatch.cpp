#include "net/ReplyWatch.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QNetworkReply>
#include <QTimer>

#include <algorithm>

#include "net/HeaderBound.h"
#include "net/WireProgress.h"
#include "support/Interruption.h"

namespace ReplyWatch {

namespace {
// Often enough that a flood on loopback is stopped before it costs much memory.
const int tick_ms = 50;
// While the connection is being made: Nagle goes before the first bytes of the request do.
const int connecting_tick_ms = 1;
const int connecting_ticks = 1000;
}

namespace {

// One wait: the state that the reply's signals and the clock share.
class Watch {
public:
    Watch(QNetworkReply& reply, const Settings& settings)
        : reply(reply)
        , settings(settings)
        , wire(settings.peerPort)
        , headerBound(reply, [this] { end(End::HeadersTooLarge); })
    {
        sinceProgress.start();
        result.encrypted = settings.encrypted;
        wire.advanced();  // what the connections already there had received before this exchange
    }

    Result run()
    {
        QObject::connect(&reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
        QObject::connect(&reply, &QNetworkReply::encrypted, &loop, [this] {
            result.encrypted = true;
            wire.sendWithoutDelay();
        });
        QObject::connect(&reply, &QNetworkReply::readyRead, &loop, [this] { readBody(); });
        QObject::connect(&reply, &QNetworkReply::uploadProgress, &loop,
                         [this](qint64 sent, qint64 total) { uploaded(sent, total); });
        QObject::connect(&reply, &QNetworkReply::downloadProgress, &loop, [this](qint64 got, qint64) {
            if (got > received) {
                received = got;
                sinceProgress.restart();
            }
        });
        if (Interruption* interruption = Interruption::current())
            QObject::connect(interruption, &Interruption::requested, &loop, [this] { end(End::Interrupted); });
        QTimer tick;
        tick.setInterval(tick_ms);
        QObject::connect(&tick, &QTimer::timeout, &loop, [this] { checkClock(); });
        tick.start();
        QTimer connecting;
        connecting.setInterval(connecting_tick_ms);
        int connectingTicks = 0;
        QObject::connect(&connecting, &QTimer::timeout, &loop, [&] {
            if (wire.sendWithoutDelay() || ++connectingTicks == connecting_ticks)
                connecting.stop();
        });
        if (!wire.sendWithoutDelay())  // a connection kept from an earlier exchange has it already
            connecting.start();

        if (Interruption::received())
            end(End::Interrupted);
        if (!reply.isFinished())
            loop.exec();
        readBody();
        return result;
    }

private:
    // The body is read as it comes, so that Qt never holds more than a
    // buffer of it; what is past the limit is dropped.
    void readBody()
    {
        if (!reply.isOpen())  // aborted
            return;
        const QByteArray chunk = reply.readAll();
        bodyBytes += chunk.size();
        if (result.body.size() < ReplyBounds::bodyLimit)
            result.body += chunk.left(ReplyBounds::bodyLimit - result.body.size());
        if (bodyBytes > ReplyBounds::replyLimit)
            end(End::TooLarge);
    }

    // Qt ends with a progress of 0 of 0 once the reply is in: keep the most that was sent.
    void uploaded(qint64 sent, qint64 total)
    {
        if (result.bytesSent == 0 && sent > 0)
            wire.sendWithoutDelay();  // what Nagle holds of the first chunk leaves at once
        if (sent > result.bytesSent) {
            result.bytesSent = sent;
            sinceProgress.restart();
        }
        if (settings.uploadProgress)
            settings.uploadProgress(sent, total);
    }

    void checkClock()
    {
        if (settings.tick)
            settings.tick();
        if (wire.advanced())
            sinceProgress.restart();
        // Qt may wait for a connection that it will never make again: after a
        // proxy closed on CONNECT, it sits with no socket at all.
        if (wire.connected())
            noConnection.invalidate();
        else if (!noConnection.isValid())
            noConnection.start();
        if (settings.deadline.hasExpired())
            end(End::Deadline);
        else if (settings.idleSeconds > 0 && sinceProgress.hasExpired(settings.idleSeconds * 1000LL))
            end(End::Idle);
        else if (settings.peerGoneMs > 0 && noConnection.isValid() && noConnection.hasExpired(settings.peerGoneMs)
                 && sinceProgress.hasExpired(settings.peerGoneMs))
            end(End::PeerGone);  // Qt's own count of bytes moving says a connection is there
        else if (wire.received() > std::uint64_t(ReplyBounds::replyLimit))
            end(End::TooLarge);  // headers without end, or a chunked body: Qt would keep it all
        else if (settings.handshakeExchanges > 0 && !underWay()
                 && wire.exchanges() > std::uint64_t(settings.handshakeExchanges))
            end(End::ProxyAsksAgain);
    }

    // Past the proxy: a TLS session up, body bytes gone, or an answer of the collector's.
    bool underWay() const
    {
        return result.encrypted || result.bytesSent > 0 || reply.attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid();
    }

    void end(End why)
    {
        if (result.end != End::Finished)
            return;
        result.end = why;
        // Qt's thread may sit in a loop that reads a flood (headers, a chunked body),
        // which an abort does not reach: the connection itself must go.
        wire.shutDown();
        reply.abort();
    }

    QNetworkReply& reply;
    const Settings& settings;
    Result result;
    QEventLoop loop;
    WireProgress wire;
    HeaderBound headerBound;
    QElapsedTimer sinceProgress;
    QElapsedTimer noConnection;
    qint64 received = 0;
    qint64 bodyBytes = 0;
};

}

Result watch(QNetworkReply& reply, const Settings& settings)
{
    return Watch(reply, settings).run();
}

}
