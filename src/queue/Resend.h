#ifndef RESEND_H
#define RESEND_H

#include <QList>
#include <QString>

#include "argparser.h"

// The other kind of run (--resend DIR): post every event kept in the queue,
// oldest first, with the transport options of the command line.
namespace Resend {

struct EventOutcome {
    QString eventId;
    QString outcome;  // "delivered", "kept", "failed", "dropped"
    int statusCode = 0;
    QString errorString;
    int attempts = 0;  // all so far, the earlier runs' included
};

struct Record {
    QList<EventOutcome> events;
    bool interrupted = false;
    bool maxTimeReached = false;  // --max-time ended it; what was not tried stays queued
    QString errorString;
};

// One line per event on standard output: event id, outcome, code. Returns 0
// when nothing is left to send, otherwise the code of the last failure.
int run(const ArgParser::Options& options, ProgressLine* progress, Record& record);

}

#endif
