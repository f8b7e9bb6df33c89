#include "archive/Archiver.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <algorithm>
#include <utility>

#include "archive/ArchiverProgress.h"
#include "support/Interruption.h"
#include "support/ProgressLine.h"
#include "support/console.h"

namespace {
const char* const archiver_program = "7z";
const int start_timeout_ms = 30000;
const int max_archiver_output = 1 << 20;
}

Archiver::Archiver(QStringList files, int zipLevel)
    : files(std::move(files))
    , zipLevel(zipLevel)
{
}

QStringList Archiver::arguments(const QString& archivePath, const QStringList& files, int zipLevel)
{
    QStringList arguments{QStringLiteral("a")};
    if (zipLevel >= 0)
        arguments.append(QStringLiteral("-mx=%1").arg(zipLevel));
    const QStringList paths = QStringList{archivePath} + files;
    // 7z would expand '*' and '?' itself and archive every match.
    if (std::any_of(paths.begin(), paths.end(), [](const QString& path) {
            return path.contains(QLatin1Char('*')) || path.contains(QLatin1Char('?'));
        }))
        arguments.append(QStringLiteral("-spd"));
    for (const QString& path : paths)
        arguments.append(pathArgument(path));
    return arguments;
}

QString Archiver::pathArgument(const QString& path)
{
    const bool readAsSwitch = path.startsWith(QLatin1Char('-')) || path.startsWith(QLatin1Char('@'));
    return readAsSwitch ? QStringLiteral("./") + path : path;
}

QString Archiver::message(QByteArray output)
{
    const int nul = output.indexOf('\0');
    if (nul >= 0)
        output.truncate(nul);
    // The same as replacing QRegExp("[\n|\r]+") with "\n", in one pass: the
    // regular expression takes half a minute over 50 MB of chatter.
    QByteArray text;
    text.reserve(output.size());
    bool inRun = false;
    for (const char c : qAsConst(output)) {
        const bool lineEnd = c == '\n' || c == '|' || c == '\r';
        if (!lineEnd)
            text += c;
        else if (!inRun)
            text += '\n';
        inRun = lineEnd;
    }
    return QString::fromLatin1(text).trimmed();
}

std::optional<Outcome> Archiver::run(const QString& archivePath, ProgressLine& progress,
                                     const std::function<void()>& meanwhile)
{
    const QString program = QLatin1String(archiver_program);
    const QStringList argumentList = arguments(archivePath, files, zipLevel);
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, argumentList, QIODevice::ReadWrite);
    if (!process.waitForStarted(start_timeout_ms)) {
        const Outcome failed = Outcome::local(QStringLiteral("Failed to start ") + program);
        Console::err(toConsole(failed.text));
        return failed;
    }
    // An archiver that asks a question gets end-of-file instead of waiting for ever.
    process.closeWriteChannel();
    if (meanwhile)
        meanwhile();
    if (const int signal = waitForEnd(progress)) {
        const Outcome stopped = Outcome::interrupted(signal);
        Console::err(toConsole(stopped.text));
        return stopped;
    }
    QString shown = message(output);
    if (leftOut > 0)
        shown += QStringLiteral("\n[%1 more bytes of output left out]").arg(leftOut);
    if (process.exitCode() == 0) {
        Console::out(std::string(archiver_program) + " output : \n" + toConsole(shown));
        return std::nullopt;
    }
    const Outcome failed = Outcome::local(QStringLiteral("Fail to zip! \n\t Message: \n") + shown);
    Console::err(toConsole(failed.text));
    Console::out(std::string("Fail to execute: ") + archiver_program + '"' + toConsole(argumentList.join(QStringLiteral("\" \"")))
                 + '"');
    return failed;
}

int Archiver::waitForEnd(ProgressLine& progress)
{
    // No time limit, but a signal to stop ends the archiver too. Its output
    // is read as it comes and kept up to a bound: 7z may chatter without end.
    // The wait is the event loop's, so that work begun meanwhile (the upload's
    // connection) goes on.
    auto keepOutput = [this] {
        const QByteArray chunk = process.readAll();
        const int room = std::max(0, max_archiver_output - output.size());
        output += chunk.left(room);
        leftOut += std::max(0, chunk.size() - room);
    };
    QEventLoop loop;
    QObject::connect(&process, &QProcess::readyRead, &loop, keepOutput);
    QObject::connect(&process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), &loop, &QEventLoop::quit);
    Interruption::endsLoop(loop);
    QElapsedTimer clock;
    clock.start();
    ArchiverProgress inputs(files);
    QTimer tick;
    tick.setInterval(100);
    QObject::connect(&tick, &QTimer::timeout, &loop, [&] {
        if (progress.isOn())
            progress.archiving(inputs.read(process.processId()), inputs.total(), clock.elapsed());
    });
    tick.start();
    if (process.state() != QProcess::NotRunning && !Interruption::received())
        loop.exec();
    if (const int signal = Interruption::received()) {
        process.killGroup(5000);
        progress.clear();
        return signal;
    }
    keepOutput();
    progress.clear();
    return 0;
}
