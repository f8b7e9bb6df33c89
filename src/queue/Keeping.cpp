#include "queue/Keeping.h"

#include <QDateTime>

#include <csignal>

#include <pthread.h>

#include "support/Interruption.h"
#include "support/console.h"

namespace Keeping {

Survey::Survey(const QString& dir)
    : sizes(std::async(std::launch::async, [dir, unwanted = unwanted] {
        // The run's signals are the main thread's to take.
        sigset_t stops;
        sigemptyset(&stops);
        sigaddset(&stops, SIGINT);
        sigaddset(&stops, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &stops, nullptr);
        EventQueue queue(dir);
        QString why;
        return queue.open(false, why) == EventQueue::Opened::Ok ? queue.sizes([&unwanted] { return unwanted->load(); })
                                                                 : QueueSizes();
    }))
{
}

Survey::~Survey()
{
    unwanted->store(true);
}

QueueSizes Survey::result()
{
    return sizes.valid() ? sizes.get() : QueueSizes();
}

std::optional<Outcome> keep(const QString& dir, const QueueLimits& limits, const Event& event, QString& queuedAt,
                            Survey* survey)
{
    QueueEntry entry;
    entry.eventId = event.eventId;
    entry.url = event.url;
    entry.created = QDateTime::currentDateTimeUtc();
    entry.recordOutcome(event.attempts, event.last.code, event.last.text);
    entry.parts = event.form;
    entry.hashParts = event.hashParts;
    entry.upload = event.upload;

    EventQueue queue(dir, limits);
    QString path;
    QStringList dropped;
    QString why;
    const int signalsBefore = Interruption::count();
    const bool kept = queue.open(true, why) == EventQueue::Opened::Ok
        && queue.add(entry, path, dropped, why, [signalsBefore] { return Interruption::count() > signalsBefore; },
                     survey ? survey->result() : QueueSizes());
    for (const QString& oldest : qAsConst(dropped))
        Console::out("Dropped from queue: " + toConsole(oldest) + " (the queue is full)");
    if (kept) {
        Console::out("Kept in queue: " + toConsole(path));
        queuedAt = path;
    } else {
        Console::err("Fail to queue in " + toConsole(dir) + ": " + toConsole(why));
    }
    if (Interruption::count() > signalsBefore)
        return Outcome::interrupted(Interruption::received());
    return std::nullopt;
}

}
