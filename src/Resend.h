#ifndef RESEND_H
#define RESEND_H

#include <QDateTime>
#include <QString>

#include <functional>

#include "parse/TransportOptions.h"
#include "deliver/Poster.h"
#include "report/RunRecord.h"

class ProgressLine;

// The other kind of run (--resend DIR): post every event kept in the queue,
// oldest first, with the transport options of the command line.
namespace Resend {

// Gives the poster when the first event is to be posted, and not before: the
// real one installs the process's proxy.
using PosterSource = std::function<Poster&()>;

// Which entries a resend posts: those due (a transient failure puts an entry
// off, an hour after the first and twice as long after each further one, a day
// at the most), or every one (--all-entries). now is the pass's time: the
// current one when invalid, a scripted one in tests.
struct Schedule {
    bool allEntries = false;
    QDateTime now;
};

// One line per event on standard output: event id, outcome, code. Returns 0
// when nothing went wrong, otherwise the code of the last failure; an entry
// not yet due is no failure.
int run(const QString& queueDir, const TransportOptions& transport, const PosterSource& poster, ProgressLine* progress,
        ResendRecord& record, const Schedule& schedule = Schedule());

}

#endif
