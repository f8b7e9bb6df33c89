#include "queue/Keeping.h"

#include <iostream>

#include "post/Outcome.h"
#include "queue/EventQueue.h"
#include "support/Interruption.h"
#include "support/console.h"
#include "support/exitcodes.h"

namespace Keeping {

int keep(const QString& dir, const QueueLimits& limits, const QueueEntry& event, QString& queuedAt)
{
    EventQueue queue(dir, limits);
    QString path;
    QStringList dropped;
    QString why;
    const int signalsBefore = Interruption::count();
    const bool kept = queue.open(true, why) == EventQueue::Opened::Ok
        && queue.add(event, path, dropped, why, [signalsBefore] { return Interruption::count() > signalsBefore; });
    for (const QString& oldest : qAsConst(dropped))
        std::cout << "Dropped from queue: " << toConsole(oldest) << " (the queue is full)" << std::endl;
    if (kept) {
        std::cout << "Kept in queue: " << toConsole(path) << std::endl;
        queuedAt = path;
    } else {
        std::cerr << "Fail to queue in " << toConsole(dir) << ": " << toConsole(why) << std::endl;
    }
    if (Interruption::count() > signalsBefore)
        return Outcome::interrupted(Interruption::received()).code;
    return ExitCode::Success;
}

}
