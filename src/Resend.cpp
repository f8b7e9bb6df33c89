#include "Resend.h"

#include <QFile>
#include <QFileInfo>

#include <iostream>
#include <memory>
#include <optional>
#include <vector>

#include "Delivery.h"
#include "EventQueue.h"
#include "Interruption.h"
#include "console.h"
#include "exitcodes.h"

namespace Resend {

namespace {

const int maxAgeDays = 30;

void say(const EventOutcome& event)
{
    std::cout << toConsole(event.eventId) << ' ' << toConsole(event.outcome) << ' ' << event.statusCode << std::endl;
}

}

int run(const ArgParser::Options& options, ProgressLine* progress, Record& record)
{
    EventQueue queue(options.resendDir);
    if (!QFileInfo(options.resendDir).isDir())
        return ExitCode::Success;  // nothing was ever kept
    const EventQueue::Lock lock(options.resendDir, [] { return Interruption::received() != 0; });
    if (const int signal = Interruption::received()) {
        record.interrupted = true;
        record.errorString = Interruption::message(signal);
        std::cerr << toConsole(record.errorString) << std::endl;
        return Interruption::exitCode(signal);
    }
    if (!lock.isHeld()) {
        record.errorString = QStringLiteral("Fail to lock the queue ") + options.resendDir;
        std::cerr << toConsole(record.errorString) << std::endl;
        return ExitCode::LocalFailure;
    }

    std::optional<Delivery> delivery;  // made when there is something to send: it installs the proxy
    int exitCode = ExitCode::Success;
    const QDateTime tooOld = QDateTime::currentDateTimeUtc().addDays(-maxAgeDays);
    for (const QString& path : queue.entries()) {
        if (Interruption::received() || (delivery && delivery->deadlinePassed()))
            break;
        EventQueue::Entry entry;
        QString why;
        if (!EventQueue::read(path, entry, why)) {
            // It would fail every time: set aside for a person to look at.
            std::cerr << "Fail to read queue entry " << toConsole(path) << ": " << toConsole(why) << std::endl;
            queue.moveToFailed(path);
            exitCode = ExitCode::LocalFailure;
            continue;
        }
        EventOutcome event{entry.eventId, QString(), 0, QString(), entry.attempts};
        if (entry.created < tooOld) {
            EventQueue::remove(path);
            std::cout << "Dropped from queue: " << toConsole(path) << " (older than " << maxAgeDays << " days)"
                      << std::endl;
            event.outcome = QStringLiteral("dropped");
            record.events.append(event);
            continue;
        }

        std::vector<std::unique_ptr<QFile>> files;
        QList<QHttpPart> parts;
        QList<QIODevice*> devices;
        for (FormPart part : qAsConst(entry.parts)) {
            files.push_back(std::make_unique<QFile>(part.bodyFile));
            files.back()->open(QIODevice::ReadOnly);
            part.bodyDevice = files.back().get();
            parts.append(part.toHttpPart());
            devices.append(part.bodyDevice);
        }
        if (!delivery)
            delivery.emplace(options, progress);
        const Delivery::Result result = delivery->deliver(entry.url, parts, devices);
        files.clear();

        entry.attempts += result.attempts;
        entry.lastStatus = result.response.statusCode;
        entry.lastError = result.response.errorString;
        event.attempts = entry.attempts;
        event.statusCode = entry.lastStatus;
        if (entry.lastStatus == HttpStatus::Ok) {
            EventQueue::remove(path);
            event.outcome = QStringLiteral("delivered");
        } else {
            std::cerr << toConsole(entry.lastError) << std::endl;
            event.errorString = entry.lastError;
            exitCode = entry.lastStatus;
            if (result.isTransient() || result.exchange.interrupted) {
                EventQueue::update(entry);
                event.outcome = QStringLiteral("kept");
            } else {
                EventQueue::update(entry);
                queue.moveToFailed(path);
                event.outcome = QStringLiteral("failed");
            }
        }
        say(event);
        record.events.append(event);
        record.interrupted = result.exchange.interrupted;
        record.maxTimeReached = delivery->deadlinePassed();
    }
    return exitCode;
}

}
