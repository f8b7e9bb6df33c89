#include "Resend.h"

#include <QDeadlineTimer>

#include <optional>

#include "deliver/Delivery.h"
#include "form/EventForm.h"
#include "form/FormBody.h"
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
    std::string line = toConsoleEscaped(event.eventId) + ' ' + ResendRecord::Event::fateName(event.fate) + ' '
        + std::to_string(event.outcome.code);
    if (event.fate == ResendRecord::Event::Fate::Waiting)
        line += " until " + event.nextAttempt.toUTC().toString(Qt::ISODate).toStdString() + " (--all-entries sends it now)";
    Console::out(line);
}

int failWith(ResendRecord& record, const QString& text, int exitCode = ExitCode::LocalFailure)
{
    record.errorString = text;
    Console::err(toConsoleEscaped(text));
    return exitCode;
}

// One pass over the queue, with one delivery for all of its events.
class Pass {
public:
    Pass(const TransportOptions& transport, const PosterSource& poster, ProgressLine* progress, EventQueue& queue,
         ResendRecord& record, const Schedule& schedule, QDeadlineTimer deadline)
        : transport(transport)
        , deadline(deadline)
        , poster(poster)
        , progress(progress)
        , queue(queue)
        , record(record)
        , allEntries(schedule.allEntries)
        , now(schedule.now.isValid() ? schedule.now : QDateTime::currentDateTimeUtc())
    {
    }

    bool mustStop() const { return Interruption::received() || deadline.hasExpired() || halted; }

    // Ends a pass that a signal or the deadline stopped between two events: the
    // events not tried stay queued, and the run ends as any run they stop.
    int stopped()
    {
        if (record.stoppedBy || halted) {  // the event it stopped has said so already
            record.errorString = errorText;
            return exitCode;
        }
        record.stoppedBy = Interruption::received() ? Outcome::interrupted(Interruption::received())
                                                    : Outcome::deadline(transport.maxTime);
        return failWith(record, record.stoppedBy->text, record.stoppedBy->code);
    }

    void handle(const QString& name)
    {
        EventQueue::Kept kept;
        QString why;
        if (!queue.read(name, kept, why))
            return queue.holds(name) ? setAside(kept, why) : void();  // one that vanished was dropped by a queueing run
        ResendRecord::Event event{kept.entry.eventId, Fate::Failed, Outcome::answerOrTransport(kept.entry.lastStatus, QString()),
                                  0, kept.entry.attempts};
        if (kept.entry.failed) {
            // Refused for good earlier, and failed/ could not take it then: it is not sent again.
            event.fate = Fate::Failed;
            if (!queue.moveToFailed(name, why) && queue.holds(name))
                localFailure(QStringLiteral("Fail to set aside queue entry %1: %2").arg(queue.pathOf(name), why));
            record.events.append(event);
            return;
        }
        if (kept.entry.created < now.addDays(-max_age_days)) {
            if (!queue.remove(name, why) && queue.holds(name))
                return localFailure(QStringLiteral("Fail to remove queue entry %1: %2").arg(queue.pathOf(name), why));
            Console::out("Dropped from queue: " + toConsole(queue.pathOf(name)) + " (older than "
                         + std::to_string(max_age_days) + " days)");
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
    QString errorText;  // of the failure that gave exitCode

private:
    void fail(int code, const QString& text)
    {
        Console::err(toConsoleEscaped(text));
        exitCode = code;
        errorText = text;
    }

    void localFailure(const QString& text) { fail(ExitCode::LocalFailure, text); }

    // An entry that cannot be read would fail every time: set aside for a person to look at,
    // with the reason in its description when that can still be read.
    void setAside(EventQueue::Kept& kept, const QString& why)
    {
        const QString& name = kept.name;
        QString eventId;
        QueueEntry::isFolderName(name, &eventId);
        localFailure(QStringLiteral("Fail to read queue entry %1: %2").arg(queue.pathOf(name), why));
        QString moveWhy;
        if (!kept.entry.eventId.isEmpty()) {
            kept.entry.recordOutcome(0, ExitCode::LocalFailure, why);
            EventQueue::update(kept, moveWhy);
        }
        if (!queue.moveToFailed(name, moveWhy) && queue.holds(name))
            localFailure(QStringLiteral("Fail to set aside queue entry %1: %2").arg(queue.pathOf(name), moveWhy));
        record.events.append(ResendRecord::Event{eventId, Fate::Failed, Outcome::local(why), 0, kept.entry.attempts});
    }

    void post(EventQueue::Kept& kept, ResendRecord::Event& event)
    {
        if (!delivery) {
            sender = &poster();  // only now: the real poster installs the proxy
            delivery.emplace(*sender, transport, progress);
            delivery->setDeadline(deadline);
        }
        sender->setResumable(kept.entry.parts, kept.entry.eventId.toLatin1(), kept.entry.upload);
        if (kept.entry.upload)
            keepUploadAhead(kept);
        const Delivery::Result result = delivery->deliver(kept.entry.url, kept.entry.parts,
                                                          EventForm::eventHeaders(kept.entry.eventId, kept.entry.hashParts));
        if (kept.entry.upload)
            kept.entry.upload = sender->resumable();
        sender->setResumable({}, {}, std::nullopt);  // its body reads the entry's files, closed now
        kept.bodies.clear();
        event.httpStatus = result.post.httpStatus;
        // Nothing was learned of the event: it stays as it was, and so do the entries after it;
        // only how far its upload got is kept.
        if (result.post.outcome.isStopped() || result.verdict == Delivery::Verdict::OwnFault) {
            if (kept.entry.upload)
                updateEntry(kept);
            event.fate = Fate::Kept;
            event.outcome = result.post.outcome;
            fail(result.post.outcome.code, result.post.outcome.text);
            say(event);
            record.events.append(event);
            if (result.post.outcome.isStopped())
                record.stoppedBy = result.post.outcome;
            halted = result.verdict == Delivery::Verdict::OwnFault;
            return;
        }

        kept.entry.recordOutcome(result.attempts, result.post.outcome.code, result.post.outcome.text);
        event.attempts = kept.entry.attempts;
        event.outcome = Outcome::answerOrTransport(kept.entry.lastStatus, QString());
        if (result.verdict == Delivery::Verdict::Delivered)
            delivered(kept, event);
        else
            notDelivered(kept, event, result.verdict == Delivery::Verdict::Keep);
        say(event);
        record.events.append(event);
    }

    // A resend that is killed on the way cannot say how far its upload got: until it ends, the
    // entry's bound on what was sent is the whole body, so that the server's offset is not
    // refused as a lie next time.
    void keepUploadAhead(EventQueue::Kept& kept)
    {
        TusProgress& upload = kept.entry.upload->progress;
        const qint64 sent = upload.sent;
        if (!upload.url.isEmpty())
            upload.sent = FormBody(kept.entry.parts, kept.entry.upload->boundary).bodySize();
        updateEntry(kept);
        upload.sent = sent;
    }

    void updateEntry(const EventQueue::Kept& kept)
    {
        QString why;
        if (!EventQueue::update(kept, why) && queue.holds(kept.name))
            localFailure(QStringLiteral("Fail to update queue entry %1: %2").arg(queue.pathOf(kept.name), why));
    }

    void delivered(const EventQueue::Kept& kept, ResendRecord::Event& event)
    {
        event.fate = Fate::Delivered;
        QString why;
        if (!queue.remove(kept.name, why) && queue.holds(kept.name))
            localFailure(QStringLiteral("Fail to remove delivered queue entry %1: %2").arg(queue.pathOf(kept.name), why));
    }

    void notDelivered(EventQueue::Kept& kept, ResendRecord::Event& event, bool keep)
    {
        fail(kept.entry.lastStatus, kept.entry.lastError);
        event.outcome.text = kept.entry.lastError;
        event.fate = keep ? Fate::Kept : Fate::Failed;
        if (keep)
            kept.entry.backOff(now);
        event.nextAttempt = keep ? kept.entry.nextAttempt : QDateTime();
        updateEntry(kept);
        QString why;
        if (keep || queue.moveToFailed(kept.name, why) || !queue.holds(kept.name))
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
    QDeadlineTimer deadline;
    const PosterSource& poster;
    ProgressLine* progress;
    EventQueue& queue;
    ResendRecord& record;
    bool allEntries;
    QDateTime now;
    Poster* sender = nullptr;  // the delivery's
    std::optional<Delivery> delivery;
    bool halted = false;  // by a fault of the set-up: every entry after would meet it too
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
    // --max-time bounds the whole run, the wait for another resend's lock included.
    const QDeadlineTimer deadline = TransportOptions::deadlineFromNow(transport.maxTime);
    const EventQueue::Lock lock(queue, [&deadline] { return Interruption::received() != 0 || deadline.hasExpired(); });
    if (!lock.isHeld() && (Interruption::received() || deadline.hasExpired())) {
        record.stoppedBy = Interruption::received() ? Outcome::interrupted(Interruption::received())
                                                    : Outcome::deadline(transport.maxTime);
        return failWith(record, record.stoppedBy->text, record.stoppedBy->code);
    }
    if (!lock.isHeld())
        return failWith(record, QStringLiteral("Fail to lock the queue ") + queueDir);
    queue.clearLeftovers();

    Pass pass(transport, poster, progress, queue, record, schedule, deadline);
    for (const QString& name : queue.entries()) {
        if (pass.mustStop())
            return pass.stopped();
        pass.handle(name);
    }
    // A signal that came while the last entry was finished ends the run as any signal does.
    if (Interruption::received())
        return pass.stopped();
    if (pass.exitCode != ExitCode::Success)
        record.errorString = pass.errorText;
    return pass.exitCode;
}

}
