#include "deliver/Delivery.h"

#include <QDateTime>
#include <QEventLoop>
#include <QRandomGenerator>
#include <QTimer>

#include <algorithm>
#include <limits>

#include "deliver/RetryPolicy.h"
#include "post/PeerCheck.h"
#include "post/ProxyCheck.h"
#include "support/Interruption.h"
#include "support/ProgressLine.h"
#include "support/console.h"
#include "support/exitcodes.h"

namespace {

// Sleeps ms, or less when the process is asked to stop.
void pause(qint64 ms)
{
    QEventLoop loop;
    QTimer timer;
    timer.setSingleShot(true);
    timer.setTimerType(Qt::PreciseTimer);
    QObject::connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
    timer.start(int(std::min<qint64>(ms, std::numeric_limits<int>::max())));
    Interruption::endsLoop(loop);
    if (!Interruption::received())
        loop.exec();
}

}

Delivery::Delivery(Poster& poster, const TransportOptions& options, ProgressLine* progress)
    : poster(poster)
    , progress(progress)
    , retries(options.retry)
    , maxTime(options.maxTime)
    , accepted(options.acceptStatus)
{
}

Delivery::Result Delivery::deliver(const QUrl& url, const QList<FormPart>& form,
                                   const QList<RequestHeaders::Header>& eventHeaders)
{
    QList<QHttpPart> parts;
    QList<QIODevice*> bodyDevices;
    for (const FormPart& part : form) {
        parts.append(part.toHttpPart());
        if (part.bodyDevice)
            bodyDevices.append(part.bodyDevice);
    }
    // The deadline covers the whole upload phase: every attempt, redirect and event.
    if (deadline.isForever())
        deadline = TransportOptions::deadlineFromNow(maxTime);
    Result result;
    for (int attempt = 1;; ++attempt) {
        result.post = poster.post(url, parts, bodyDevices, eventHeaders, deadline);
        result.attempts = attempt;
        if (attempt > retries || result.post.outcome.isStopped() || !isTransient(result.post) || !waitToRetry(attempt, result))
            break;
    }
    result.verdict = verdict(result.post, accepted);
    // An accepted status is a delivery everywhere, in the report's statusCode too.
    if (result.verdict == Verdict::Delivered)
        result.post.outcome = Outcome::answer(HttpStatus::Ok, QString());
    // A URL that can never work is not worth keeping: nothing later would deliver it.
    else if (result.verdict != Verdict::Refused && !PeerCheck::isPostable(url))
        result.verdict = Verdict::Refused;
    return result;
}

bool Delivery::waitToRetry(int attempt, Result& result)
{
    const int asked = result.post.httpStatus ? result.post.httpStatus : result.post.outcome.code;
    const qint64 waitMs = RetryPolicy::delayMs(attempt, asked, result.post.retryAfter,
                                               QDateTime::currentDateTimeUtc(),
                                               QRandomGenerator::global()->generateDouble());
    const qint64 realWaitMs = deadline.isForever() ? waitMs : std::min(waitMs, deadline.remainingTime());
    // The real wait: to a tenth of a second for a person at a terminal, in whole seconds for scripts.
    const std::string shown = progress && progress->isOn()
        ? QString::number(double(realWaitMs) / 1000.0, 'f', 1).toStdString()
        : std::to_string((realWaitMs + 500) / 1000);  // the nearest whole second
    Console::out("Retry " + std::to_string(attempt) + " of " + std::to_string(retries) + " in " + shown + " s: "
                 + toConsoleEscaped(result.post.outcome.text));
    pause(realWaitMs);
    // A wait cut to the deadline ends at it, even when the timer fires a little early.
    const bool cutToDeadline = realWaitMs < waitMs && !Interruption::received();
    if (cutToDeadline || deadline.hasExpired()) {
        result.post.outcome = Outcome::deadline(maxTime);
        return false;
    }
    if (const int signal = Interruption::received()) {
        result.post.outcome = Outcome::interrupted(signal);
        return false;
    }
    return true;
}

bool Delivery::isTransient(const PostResult& post)
{
    return RetryPolicy::isTransient(post.outcome.code) || RetryPolicy::isTransient(post.httpStatus);
}

Delivery::Verdict Delivery::verdict(const PostResult& post, const QSet<int>& accepted)
{
    const Outcome& outcome = post.outcome;
    // The server's own status decides an accepted one: Qt has no code for a 207 or a 226.
    const bool answered = outcome.kind == Outcome::Kind::Answer || outcome.kind == Outcome::Kind::Transport;
    if (outcome.isDelivered() || (answered && accepted.contains(post.httpStatus)))
        return Verdict::Delivered;
    // What a signal stopped was never refused; what the deadline stopped is a timeout, transient.
    if (outcome.kind == Outcome::Kind::Interrupted || isTransient(post))
        return Verdict::Keep;
    if (ProxyCheck::isAuthenticationRefused(outcome.code) || outcome.code == ExitCode::SslHandshakeFailed)
        return Verdict::OwnFault;
    return Verdict::Refused;
}

bool Delivery::deadlinePassed() const
{
    return deadline.hasExpired();  // never, while it is not started
}
