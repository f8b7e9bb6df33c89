#include "queue/Resend.h"

#include <iostream>
#include <optional>

#include "deliver/Delivery.h"
#include "form/EventForm.h"
#include "queue/EventQueue.h"
#include "support/Interruption.h"
#include "support/console.h"
#include "support/exitcodes.h"

namespace Resend {

namespace {

using Fate = ResendRecord::Event::Fate;

const int max_age_days = 30;

void say(const ResendRecord::Event& event)
{
    std::cout << toConsoleEscaped(event.eventId) << ' ' << ResendRecord::Event::fateName(event.fate) << ' ' << event.statusCode
              << std::endl;
}

int failWith(ResendRecord& record, const QString& text, int exitCode = ExitCode::LocalFailure)
{
    record.errorString = text;
    std::cerr << toConsoleEscaped(text) << std::endl;
    return exitCode;
}

// One pass over the queue, with one delivery for all of its events.
class Pass {
public:
    Pass(const TransportOptions& transport, const PosterSource& poster, ProgressLine* progress, EventQueue& queue,
         ResendRecord& record, const Schedule& schedule)
        : transport(transport)
        , poster(poster)
        , progress(progress)
        , queue(queue)
        , record(record)
        , allEntries(schedule.allEntries)
        , now(schedule.now.isValid() ? schedule.now : QDateTime::currentDateTimeUtc())
    {
    }

    bool mustStop() const { return Interruption::received() || (delivery && delivery->deadlinePassed()); }

    // Ends a pass that a signal or the deadline stopped between two events: the
    // events not tried stay queued, and the run ends as any run they stop.
    int stopped()
    {
        if (record.stoppedBy)  // the event it stopped has said so already
            return exitCode;
        record.stoppedBy = Interruption::received() ? Outcome::interrupted(Interruption::received())
                                                    : Outcome::deadline(transport.maxTime);
        return failWith(record, record.stoppedBy->text, record.stoppedBy->code);
    }

    void handle(const QString& name)
    {
        EventQueue::Kept kept;
        QString why;
        if (!queue.read(name, kept, why))
            return setAside(name, why);
        ResendRecord::Event event{kept.entry.eventId, Fate::Failed, kept.entry.lastStatus, 0, QString(), kept.entry.attempts};
        if (kept.entry.failed) {
            // Refused for good earlier, and failed/ could not take it then: it is not sent again.
            event.fate = Fate::Failed;
            if (!queue.moveToFailed(name, why))
                localFailure(QStringLiteral("Fail to set aside queue entry %1: %2").arg(queue.pathOf(name), why));
            record.events.append(event);
            return;
        }
        if (kept.entry.created < now.addDays(-max_age_days)) {
            if (!queue.remove(name, why))
                return localFailure(QStringLiteral("Fail to remove queue entry %1: %2").arg(queue.pathOf(name), why));
            std::cout << "Dropped from queue: " << toConsole(queue.pathOf(name)) << " (older than " << max_age_days
                      << " days)" << std::endl;
            event.fate = Fate::Dropped;
            record.events.append(event);
            return;
        }
        event.nextAttempt = kept.entry.nextAttempt;
        if (!allEntries && !kept.entry.isDue(now)) {
            event.fate = Fate::Waiting;  // put off after an earlier failure: left as it is
            say(event);
            record.events.append(event);
            return;
        }
        post(kept, event);
    }

    int exitCode = ExitCode::Success;

private:
    void localFailure(const QString& text)
    {
        std::cerr << toConsoleEscaped(text) << std::endl;
        exitCode = ExitCode::LocalFailure;
    }

    // An entry that cannot be read would fail every time: set aside for a person to look at.
    void setAside(const QString& name, const QString& why)
    {
        QString eventId;
        QueueEntry::isFolderName(name, &eventId);
        localFailure(QStringLiteral("Fail to read queue entry %1: %2").arg(queue.pathOf(name), why));
        QString moveWhy;
        if (!queue.moveToFailed(name, moveWhy))
            localFailure(QStringLiteral("Fail to set aside queue entry %1: %2").arg(queue.pathOf(name), moveWhy));
        record.events.append(ResendRecord::Event{eventId, Fate::Failed, ExitCode::LocalFailure, 0, why, 0});
    }

    void post(EventQueue::Kept& kept, ResendRecord::Event& event)
    {
        if (!delivery)
            delivery.emplace(poster(), transport, progress);  // only now: the real poster installs the proxy
        const Delivery::Result result = delivery->deliver(kept.entry.url, kept.entry.parts,
                                                          EventForm::eventHeaders(kept.entry.eventId, kept.entry.hashParts));
        kept.bodies.clear();

        kept.entry.recordOutcome(result.attempts, result.outcome.code, result.outcome.text);
        event.attempts = kept.entry.attempts;
        event.statusCode = kept.entry.lastStatus;
        event.httpStatus = result.details.httpStatus;
        if (result.verdict == Delivery::Verdict::Delivered)
            delivered(kept, event);
        else
            notDelivered(kept, event, result.verdict == Delivery::Verdict::Keep);
        say(event);
        record.events.append(event);
        if (result.outcome.isStopped())
            record.stoppedBy = result.outcome;
    }

    void delivered(const EventQueue::Kept& kept, ResendRecord::Event& event)
    {
        event.fate = Fate::Delivered;
        QString why;
        if (!queue.remove(kept.name, why))
            localFailure(QStringLiteral("Fail to remove delivered queue entry %1: %2").arg(queue.pathOf(kept.name), why));
    }

    void notDelivered(EventQueue::Kept& kept, ResendRecord::Event& event, bool keep)
    {
        std::cerr << toConsoleEscaped(kept.entry.lastError) << std::endl;
        event.errorString = kept.entry.lastError;
        exitCode = kept.entry.lastStatus;
        event.fate = keep ? Fate::Kept : Fate::Failed;
        if (keep)
            kept.entry.backOff(now);
        event.nextAttempt = keep ? kept.entry.nextAttempt : QDateTime();
        QString why;
        if (!EventQueue::update(kept, why))
            localFailure(QStringLiteral("Fail to update queue entry %1: %2").arg(queue.pathOf(kept.name), why));
        if (keep || queue.moveToFailed(kept.name, why))
            return;
        // Marked in place instead, so that no later resend posts it again.
        kept.entry.failed = true;
        QString markWhy;
        const bool marked = EventQueue::update(kept, markWhy);
        localFailure(QStringLiteral("Fail to set aside queue entry %1: %2 (%3)")
                         .arg(queue.pathOf(kept.name), why,
                              marked ? QStringLiteral("marked failed, it is not sent again")
                                     : QStringLiteral("cannot mark it failed either: ") + markWhy));
    }

    const TransportOptions& transport;
    const PosterSource& poster;
    ProgressLine* progress;
    EventQueue& queue;
    ResendRecord& record;
    bool allEntries;
    QDateTime now;
    std::optional<Delivery> delivery;
};

}

int run(const QString& queueDir, const TransportOptions& transport, const PosterSource& poster, ProgressLine* progress,
        ResendRecord& record, const Schedule& schedule)
{
    EventQueue queue(queueDir);
    QString why;
    switch (queue.open(false, why)) {
    case EventQueue::Opened::Missing:
        return failWith(record, why);
    case EventQueue::Opened::Unsafe:
        return failWith(record, QStringLiteral("Fail to resend from %1: %2").arg(queueDir, why));
    case EventQueue::Opened::Ok:
        break;
    }
    const EventQueue::Lock lock(queue, [] { return Interruption::received() != 0; });
    if (const int signal = Interruption::received()) {
        record.stoppedBy = Outcome::interrupted(signal);
        return failWith(record, record.stoppedBy->text, record.stoppedBy->code);
    }
    if (!lock.isHeld())
        return failWith(record, QStringLiteral("Fail to lock the queue ") + queueDir);
    queue.clearLeftovers();

    Pass pass(transport, poster, progress, queue, record, schedule);
    for (const QString& name : queue.entries()) {
        if (pass.mustStop())
            return pass.stopped();
        pass.handle(name);
    }
    return pass.exitCode;
}

}
