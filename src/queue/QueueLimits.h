#ifndef QUEUELIMITS_H
#define QUEUELIMITS_H

#include <QtGlobal>

// How much the queue may hold; the oldest entries make room for a new one.
struct QueueLimits {
    int maxEvents = 100;                // --queue-max-events
    qint64 maxBytes = qint64(2) << 30;  // --queue-max-bytes
};

#endif
