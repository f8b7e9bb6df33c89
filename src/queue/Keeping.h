#ifndef KEEPING_H
#define KEEPING_H

#include <QString>

#include "queue/QueueEntry.h"
#include "queue/QueueLimits.h"

// Keeping one event that could not be delivered yet, for a later --resend.
namespace Keeping {

// Keeps event in the queue at dir (made when missing), dropping the oldest
// entries that it needs room for, and says so on the console. queuedAt gets
// the entry's path when it is kept. The signal that stopped the upload does
// not stop the keeping; the next one does: then its exit code is returned,
// otherwise 0.
int keep(const QString& dir, const QueueLimits& limits, const QueueEntry& event, QString& queuedAt);

}

#endif
