#include "ExchangeWatch.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QNetworkReply>
#include <QTimer>

#include <algorithm>

#include "Interruption.h"
#include "WireProgress.h"

namespace ExchangeWatch {

namespace {
const int tickMs = 250;
}

QString idleMessage(int seconds)
{
    return QStringLiteral("No data transferred for %1 s").arg(seconds);
}

QString deadlineMessage(int seconds)
{
    return QStringLiteral("Operation timed out after %1 s").arg(seconds);
}

Result watch(QNetworkReply& reply, const Settings& settings)
{
    Result result;
    QEventLoop loop;
    QObject::connect(&reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    QObject::connect(&reply, &QNetworkReply::encrypted, &loop, [&result] { result.encrypted = true; });

    // The body is read as it comes, so that Qt never holds more than a
    // buffer of it; what is past the limit is dropped.
    auto readBody = [&reply, &result] {
        if (!reply.isOpen())  // aborted
            return;
        const QByteArray chunk = reply.readAll();
        if (result.body.size() < bodyLimit)
            result.body += chunk.left(bodyLimit - result.body.size());
    };
    QObject::connect(&reply, &QNetworkReply::readyRead, &loop, readBody);

    QElapsedTimer sinceProgress;
    sinceProgress.start();
    qint64 received = 0;
    // Qt ends with a progress of 0 of 0 once the reply is in: keep the most that was sent.
    QObject::connect(&reply, &QNetworkReply::uploadProgress, &loop, [&](qint64 sent, qint64 total) {
        if (sent > result.bytesSent) {
            result.bytesSent = sent;
            sinceProgress.restart();
        }
        if (settings.uploadProgress)
            settings.uploadProgress(sent, total);
    });
    QObject::connect(&reply, &QNetworkReply::downloadProgress, &loop, [&](qint64 got, qint64) {
        if (got > received) {
            received = got;
            sinceProgress.restart();
        }
    });

    auto end = [&](End why) {
        if (result.end != End::Finished)
            return;
        result.end = why;
        reply.abort();
    };
    Interruption* interruption = Interruption::current();
    if (interruption)
        QObject::connect(interruption, &Interruption::requested, &loop, [&] { end(End::Interrupted); });

    // Only a limit needs the clock; the wire is read only for the idle limit.
    WireProgress wire(settings.peerPort);
    QTimer tick;
    tick.setInterval(tickMs);
    QObject::connect(&tick, &QTimer::timeout, &loop, [&] {
        if (settings.idleSeconds > 0 && wire.advanced())
            sinceProgress.restart();
        if (settings.deadline.hasExpired())
            end(End::Deadline);
        else if (settings.idleSeconds > 0 && sinceProgress.hasExpired(settings.idleSeconds * 1000LL))
            end(End::Idle);
    });
    if (settings.idleSeconds > 0 || !settings.deadline.isForever())
        tick.start();

    if (Interruption::received())
        end(End::Interrupted);
    if (!reply.isFinished())
        loop.exec();
    readBody();
    return result;
}

}
