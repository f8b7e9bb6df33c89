#include "net/NetworkProbes.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QHostInfo>
#include <QNetworkProxy>
#include <QTcpSocket>
#include <QTimer>

#include <algorithm>
#include <sys/socket.h>

#include "support/Interruption.h"

namespace {

const int max_lookup_ms = 60000;
const qint64 max_answer = 4096;

// One wait of a probe: for its loop to be quit, at most ms, and never past the deadline or a signal.
class Wait {
public:
    explicit Wait(QDeadlineTimer deadline)
        : deadline(deadline)
    {
        timer.setSingleShot(true);
        QObject::connect(&timer, &QTimer::timeout, &loop, [this] {
            timedOut = true;
            loop.quit();
        });
        Interruption::endsLoop(loop);
    }

    // Runs the loop; false when the deadline or a signal ended it.
    bool forAtMost(int ms)
    {
        timedOut = false;
        const qint64 left = deadline.isForever() ? ms : std::min<qint64>(ms, deadline.remainingTime());
        timer.start(int(std::max<qint64>(left, 0)));
        if (!Interruption::received())
            loop.exec();
        timer.stop();
        return !Interruption::received() && !deadline.hasExpired();
    }

    QEventLoop loop;
    bool timedOut = false;

private:
    QDeadlineTimer deadline;
    QTimer timer;
};

}

NetworkProbes::NetworkProbes(QDeadlineTimer deadline, int maxTimeSeconds)
    : deadline(deadline)
    , maxTimeSeconds(maxTimeSeconds)
{
}

Probes::Knock NetworkProbes::knock(const QString& host, quint16 port, const Ask& ask)
{
    Knock knocked;
    auto stopped = [&] {
        knocked.stopped = Interruption::received() ? Outcome::interrupted(Interruption::received())
                                                   : Outcome::deadline(maxTimeSeconds);
        return knocked;
    };
    QTcpSocket socket;
    socket.setProxy(QNetworkProxy::NoProxy);
    Wait wait(deadline);
    QObject::connect(&socket, &QTcpSocket::connected, &wait.loop, &QEventLoop::quit);
    QObject::connect(&socket, &QTcpSocket::errorOccurred, &wait.loop, &QEventLoop::quit);
    socket.connectToHost(host, port);
    if (!wait.forAtMost(ask.connectMs))
        return stopped();
    if (socket.state() != QAbstractSocket::ConnectedState) {
        switch (socket.error()) {
        case QAbstractSocket::HostNotFoundError: knocked.reach = Reach::NotFound; break;
        case QAbstractSocket::ConnectionRefusedError: knocked.reach = Reach::Refused; break;
        default: knocked.reach = wait.timedOut ? Reach::TimedOut : Reach::Other; break;
        }
        return knocked;
    }
    knocked.reach = Reach::Answered;
    if (ask.sent.isEmpty())
        return knocked;
    if (ask.endSending) {
        QObject::connect(&socket, &QTcpSocket::bytesWritten, &wait.loop, [&socket] {
            if (socket.bytesToWrite() == 0)
                ::shutdown(int(socket.socketDescriptor()), SHUT_WR);
        });
    }
    // A bounded answer: what the probe tells by is in its first bytes.
    QObject::connect(&socket, &QTcpSocket::readyRead, &wait.loop, [&] {
        knocked.answer += socket.read(std::max<qint64>(0, max_answer - knocked.answer.size()));
        if (!ask.untilClosed)
            wait.loop.quit();
    });
    QObject::connect(&socket, &QTcpSocket::disconnected, &wait.loop, [&] {
        knocked.closed = true;
        wait.loop.quit();
    });
    socket.write(ask.sent);
    if (!wait.forAtMost(ask.answerMs))
        return stopped();
    return knocked;
}

int NetworkProbes::lookUpMs(const QString& host)
{
    QElapsedTimer clock;
    clock.start();
    Wait wait(deadline);
    // The answer only ends the wait: what it says does not matter here, how long it took does.
    const int id = QHostInfo::lookupHost(host, &wait.loop, SLOT(quit()));
    if (!wait.forAtMost(max_lookup_ms) || wait.timedOut)
        QHostInfo::abortHostLookup(id);
    return int(std::min<qint64>(clock.elapsed(), max_lookup_ms));
}
