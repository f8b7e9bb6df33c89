#ifndef RESEND_H
#define RESEND_H

#include <QString>

#include <functional>

#include "parse/TransportOptions.h"
#include "post/Poster.h"
#include "report/RunRecord.h"

class ProgressLine;

// The other kind of run (--resend DIR): post every event kept in the queue,
// oldest first, with the transport options of the command line.
namespace Resend {

// Gives the poster when the first event is to be posted, and not before: the
// real one installs the process's proxy.
using PosterSource = std::function<Poster&()>;

// One line per event on standard output: event id, outcome, code. Returns 0
// when nothing is left to send, otherwise the code of the last failure.
int run(const QString& queueDir, const TransportOptions& transport, const PosterSource& poster, ProgressLine* progress,
        ResendRecord& record);

}

#endif
