#include "post/NetworkProbes.h"

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
        if (Interruption* interruption = Interruption::current())
            QObject::connect(interruption, &Interruption::requested, &loop, &QEventLoop::quit);
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

Probes::Knock NetworkProbes::knock(const QString& host, quint16 port, const QByteArray& sent, int connectMs, int answerMs)
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
    if (!wait.forAtMost(connectMs))
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
    if (sent.isEmpty())
        return knocked;
    // What is sent is all there is: the end of it is said, so that the peer answers now.
    QObject::connect(&socket, &QTcpSocket::bytesWritten, &wait.loop, [&socket] {
        if (socket.bytesToWrite() == 0)
            ::shutdown(int(socket.socketDescriptor()), SHUT_WR);
    });
    QObject::connect(&socket, &QTcpSocket::readyRead, &wait.loop, &QEventLoop::quit);
    QObject::connect(&socket, &QTcpSocket::disconnected, &wait.loop, &QEventLoop::quit);
    socket.write(sent);
    if (!wait.forAtMost(answerMs))
        return stopped();
    char first = 0;
    if (socket.peek(&first, 1) == 1)
        knocked.firstByte = static_cast<unsigned char>(first);
    return knocked;
}

int NetworkProbes::lookUpMs(const QString& host)
{
    QElapsedTimer clock;
    clock.start();
    Wait wait(deadline);
    bool done = false;
    const int id = QHostInfo::lookupHost(host, &wait.loop, [&](const QHostInfo&) {
        done = true;
        wait.loop.quit();
    });
    if (!done)
        wait.forAtMost(max_lookup_ms);
    if (!done)
        QHostInfo::abortHostLookup(id);
    return int(std::min<qint64>(clock.elapsed(), max_lookup_ms));
}
