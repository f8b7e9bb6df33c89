#ifndef RUNRECORD_H
#define RUNRECORD_H

#include <QDateTime>
#include <QList>
#include <QString>

#include <optional>

#include "post/PostResult.h"
#include "support/Outcome.h"

// What one run of an event did, filled step by step, for the report and the summary line.
struct RunRecord {
    QString eventId;
    QString archivePath;
    qint64 archiveBytes = -1;
    int attempts = 0;
    Outcome outcome = Outcome::done();  // how the run ended: its exit code
    QString queuedAt;  // the queue entry that keeps the event, when one does
    std::optional<PostResult> post;  // what the last attempt came to, when there was one

    bool posted() const { return post.has_value(); }
    bool interrupted() const { return isKind(Outcome::Kind::Interrupted); }
    bool maxTimeReached() const { return isKind(Outcome::Kind::Deadline); }
    // The failure shown, of whichever step failed first; empty on success.
    QString errorString() const
    {
        if (outcome.kind == Outcome::Kind::Done)
            return {};
        return post ? post->outcome.text : outcome.text;
    }

private:
    bool isKind(Outcome::Kind kind) const { return outcome.kind == kind || (post && post->outcome.kind == kind); }
};

// What a resend did with each event of its queue.
struct ResendRecord {
    struct Event {
        enum class Fate { Delivered, Kept, Failed, Dropped, Waiting };

        QString eventId;
        Fate fate = Fate::Failed;
        Outcome outcome = Outcome::done();  // the last attempt's, this resend's or an earlier one's: its code and text
        int httpStatus = 0;  // the last reply's, when this resend posted it; 0 without one
        int attempts = 0;  // all so far, the earlier runs' included
        QDateTime nextAttempt = QDateTime();  // when a resend may post it again, when it is put off

        // "delivered", "kept", "failed", "dropped" or "waiting": as the console line and the report say it.
        static const char* fateName(Fate fate);
    };

    QList<Event> events;
    std::optional<Outcome> stoppedBy;  // the signal or the deadline that ended it; what was not tried stays queued
    QString errorString;

    bool interrupted() const { return stoppedBy && stoppedBy->kind == Outcome::Kind::Interrupted; }
    bool maxTimeReached() const { return stoppedBy && stoppedBy->kind == Outcome::Kind::Deadline; }
    int count(Event::Fate fate) const;
};

#endif
