#ifndef RUNRECORD_H
#define RUNRECORD_H

#include <QList>
#include <QString>

#include "post/PostDetails.h"

// What one run of an event did, filled step by step, for the report and the summary line.
struct RunRecord {
    QString eventId;
    QString archivePath;
    qint64 archiveBytes = -1;
    bool posted = false;
    int statusCode = 0;       // of the post, when there was one
    QString errorString;      // the failure shown, of whichever step failed
    int attempts = 0;
    bool interrupted = false;
    bool maxTimeReached = false;
    QString queuedAt;  // the queue entry that keeps the event, when one does
    PostDetails post;
};

// What a resend did with each event of its queue.
struct ResendRecord {
    struct Event {
        QString eventId;
        QString outcome;  // "delivered", "kept", "failed", "dropped"
        int statusCode = 0;
        QString errorString;
        int attempts = 0;  // all so far, the earlier runs' included
    };

    QList<Event> events;
    bool interrupted = false;
    bool maxTimeReached = false;  // --max-time ended it; what was not tried stays queued
    QString errorString;
};

#endif
