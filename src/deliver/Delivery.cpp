#include "deliver/Delivery.h"

#include <QDateTime>
#include <QEventLoop>
#include <QRandomGenerator>
#include <QTimer>

#include <algorithm>
#include <iostream>
#include <limits>

#include "post/CpuPinning.h"
#include "post/ExchangeWatch.h"
#include "support/Interruption.h"
#include "deliver/RetryPolicy.h"
#include "support/console.h"
#include "support/exitcodes.h"

namespace {

// Sleeps ms, or less when the process is asked to stop.
void pause(qint64 ms)
{
    QEventLoop loop;
    QTimer timer;
    timer.setSingleShot(true);
    QObject::connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
    timer.start(int(std::min<qint64>(ms, std::numeric_limits<int>::max())));
    if (Interruption* interruption = Interruption::current())
        QObject::connect(interruption, &Interruption::requested, &loop, &QEventLoop::quit);
    if (!Interruption::received())
        loop.exec();
}

}

Delivery::Delivery(const ArgParser::Options& options, ProgressLine* progress)
    : uploader(options.proxyType, options.proxySetting)
    , progress(progress)
    , retries(options.retry)
    , maxTime(options.maxTime)
{
    uploader.setProgress(progress);
    uploader.setCaCertificates(options.caCertificates);
    uploader.setClientCertificate(options.clientCertificate);
    uploader.setRequestHeaders(options.headers.list());
    uploader.setIdleTimeout(options.idleTimeout);
}

Delivery::Result Delivery::deliver(const QUrl& url, const QList<QHttpPart>& parts, const QList<QIODevice*>& bodyDevices)
{
    const CpuPinning pinning;  // for the upload phase only: the archiver ran before, with the whole mask
    Result result;
    // The deadline covers the whole upload phase: every attempt, redirect and event.
    if (maxTime > 0 && deadline.isForever()) {
        deadline.setRemainingTime(qint64(maxTime) * 1000);
        uploader.setDeadline(deadline, maxTime);
    }
    for (int attempt = 1;; ++attempt) {
        result.response = uploader.uploadMultiPart(url, parts, bodyDevices);
        result.attempts = attempt;
        result.exchange = uploader.lastExchange();
        if (attempt > retries || !result.isTransient() || result.exchange.deadlinePassed || result.exchange.interrupted)
            break;
        const int asked = result.exchange.httpStatus ? result.exchange.httpStatus : result.response.statusCode;
        const qint64 waitMs = RetryPolicy::delayMs(attempt, asked, result.exchange.retryAfter,
                                                   QDateTime::currentDateTimeUtc(),
                                                   QRandomGenerator::global()->generateDouble());
        const qint64 realWaitMs = deadline.isForever() ? waitMs : std::min(waitMs, deadline.remainingTime());
        // A person at a terminal sees the real wait; scripts see the line as it always was.
        const std::string shown = progress && progress->isOn()
            ? QString::number(double(realWaitMs) / 1000.0, 'f', 1).toStdString()
            : std::to_string((waitMs + 999) / 1000);
        std::cout << "Retry " << attempt << " of " << retries << " in " << shown
                  << " s: " << toConsoleEscaped(result.response.errorString) << std::endl;
        pause(realWaitMs);
        if (deadline.hasExpired()) {
            result.exchange.deadlinePassed = true;
            result.response = {ExitCode::Timeout, ExchangeWatch::deadlineMessage(maxTime), QString()};
            break;
        }
        if (const int signal = Interruption::received()) {
            result.exchange.interrupted = true;
            result.response = {Interruption::exitCode(signal), Interruption::message(signal), QString()};
            break;
        }
    }
    return result;
}

bool Delivery::Result::isTransient() const
{
    return RetryPolicy::isTransient(response.statusCode) || RetryPolicy::isTransient(exchange.httpStatus);
}

bool Delivery::deadlinePassed() const
{
    return deadline.hasExpired();  // never, while it is not started
}
