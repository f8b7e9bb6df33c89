#include "cli.h"

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QUuid>

#include <algorithm>
#include <iostream>
#include <optional>

#include "Uploader.h"
#include "archive/ArchiverProgress.h"
#include "archive/ProcessGroup.h"
#include "deliver/Delivery.h"
#include "form/BodyFile.h"
#include "form/DryRun.h"
#include "form/EventForm.h"
#include "parse/FileLimits.h"
#include "post/TlsSettings.h"
#include "queue/Keeping.h"
#include "queue/Resend.h"
#include "report/RunReport.h"
#include "support/Interruption.h"
#include "support/PosixFiles.h"
#include "support/ProgressLine.h"
#include "support/UrlDisplay.h"
#include "support/console.h"
#include "support/exitcodes.h"
#include "version.h"

namespace {
const char* const archiver_program = "7z";
const int max_archiver_output = 1 << 20;

enum class Source { Local, Peer };

// Prints a failure on standard error and keeps the very same text for the
// report; a text that the peer had a hand in reaches the terminal without its
// control characters.
int fail(RunRecord& record, const QString& text, int exitCode = ExitCode::LocalFailure, Source source = Source::Local)
{
    std::cerr << (source == Source::Peer ? toConsoleEscaped(text) : toConsole(text)) << std::endl;
    record.errorString = text;
    return exitCode;
}
}

Cli::Cli() = default;

Cli::~Cli() = default;

bool Cli::init(int argc, char** argv)
{
    if (!ArgParser::generateTask(argc, argv, options))
        return false;
    return options.isValid();
}

const ArgParser::Options& Cli::getOptions() const
{
    return options;
}

QString Cli::makeEventId()
{
    QString id = QUuid::createUuid().toString();
    id.remove(QLatin1Char('{'));
    id.remove(QLatin1Char('}'));
    return id.left(20);
}

QStringList Cli::archiverArguments(const QString& archivePath, const QStringList& files, int zipLevel)
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
    for (const QString& path : paths) {
        const bool readAsSwitch = path.startsWith(QLatin1Char('-')) || path.startsWith(QLatin1Char('@'));
        arguments.append(readAsSwitch ? QStringLiteral("./") + path : path);
    }
    return arguments;
}

QString Cli::archiverMessage(QByteArray output)
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

int Cli::archiveFiles(GroupedProcess& archiver, RunRecord& record, ProgressLine& progress) const
{
    const QString program = QLatin1String(archiver_program);
    const QStringList arguments = archiverArguments(record.archivePath, options.files, options.zipLevel);

    archiver.setProcessChannelMode(QProcess::MergedChannels);
    archiver.start(program, arguments, QIODevice::ReadWrite);
    if (!archiver.waitForStarted(30000))
        return fail(record, QStringLiteral("Failed to start ") + program);
    // An archiver that asks a question gets end-of-file instead of waiting for ever.
    archiver.closeWriteChannel();
    // The upload's TLS is made ready meanwhile, on the CPU the archiver leaves idle.
    if (!options.dryRun)
        TlsSettings::prepare(options.transport, options.url);
    // No time limit, but a signal to stop ends the archiver too. Its output
    // is read as it comes and kept up to a bound: 7z may chatter without end.
    QByteArray output;
    qint64 leftOut = 0;
    auto keepOutput = [&] {
        const QByteArray chunk = archiver.readAll();
        const int room = std::max(0, max_archiver_output - output.size());
        output += chunk.left(room);
        leftOut += std::max(0, chunk.size() - room);
    };
    // Drained at every read of the pipe, inside the waits below: between two polls
    // a chattering archiver would otherwise pile up a hundred MB in QProcess's buffer.
    const QObject drain;
    QObject::connect(&archiver, &QProcess::readyRead, &drain, keepOutput);
    QElapsedTimer clock;
    clock.start();
    ArchiverProgress inputs(options.files);
    while (!archiver.waitForFinished(100) && archiver.state() != QProcess::NotRunning) {
        keepOutput();
        if (const int signal = Interruption::received()) {
            archiver.killGroup(5000);
            progress.clear();
            record.interrupted = true;
            const Outcome stopped = Outcome::interrupted(signal);
            return fail(record, stopped.text, stopped.code);
        }
        if (progress.isOn())
            progress.archiving(inputs.read(archiver.processId()), inputs.total(), clock.elapsed());
    }
    keepOutput();
    progress.clear();

    QString message = archiverMessage(output);
    if (leftOut > 0)
        message += QStringLiteral("\n[%1 more bytes of output left out]").arg(leftOut);
    if (archiver.exitCode() == 0) {
        std::cout << archiver_program << " output : \n" << toConsole(message) << std::endl;
        return ExitCode::Success;
    }
    fail(record, QStringLiteral("Fail to zip! \n\t Message: \n") + message);
    std::cout << "Fail to execute: " << archiver_program << '"'
              << toConsole(arguments.join(QStringLiteral("\" \""))) << '"' << std::endl;
    return ExitCode::LocalFailure;
}

bool Cli::buildForm(const QString& archiveName, QFile& archive, QList<FormPart>& form, RunRecord& record) const
{
    if (!options.jsonFile.isEmpty()) {
        // Only a regular file (a FIFO would wait for ever), and a description
        // this large is the wrong file: it would only cost the memory of a
        // machine that has just crashed.
        QByteArray text;
        QString why;
        switch (PosixFiles::readNamedFile(options.jsonFile, FileLimits::description, text, why)) {
        case PosixFiles::Read::Unreadable:
            fail(record, QStringLiteral("Fail to open ") + options.jsonFile);
            return false;
        case PosixFiles::Read::TooLarge:
            fail(record, QStringLiteral("Fail to open ") + options.jsonFile + QStringLiteral(": larger than 64 MiB"));
            return false;
        case PosixFiles::Read::Ok:
            break;
        }
        FormPart part;
        part.name = "jsonFile";
        part.fileName = EventForm::jsonPartFileName(record.eventId, options.jsonFile).toLatin1();
        part.contentType = "application/octet-stream";
        part.body = EventForm::fillPlaceholders(text, record.eventId, options.postVariables);
        form.append(part);
    }

    // Streamed from the open file: a crash dump may not fit in memory, or in a QByteArray.
    if (!archive.open(QIODevice::ReadOnly)) {
        fail(record, QStringLiteral("Fail to open ") + archiveName);
        form.clear();
        return false;
    }
    FormPart zip;
    zip.name = "zipFile";
    zip.fileName = archiveName.toLatin1();
    zip.contentType = "application/x-zip-compressed";
    zip.bodyDevice = &archive;
    zip.bodyFile = record.archivePath;
    form.append(zip);

    for (auto variable = options.postVariables.cbegin(); variable != options.postVariables.cend(); ++variable) {
        FormPart part;
        part.name = variable.key().toLatin1();
        part.body = variable.value().toLatin1();
        form.append(part);
    }
    return true;
}

int Cli::run()
{
    if (options.displayHelp) {
        std::cout << ArgParser::helpText();
        return ExitCode::Success;
    }
    if (options.displayVersion) {
        std::cout << "Dropwell v" << QUILLFAST_VERSION_MAJOR << '.' << QUILLFAST_VERSION_MINOR << '.'
                  << QUILLFAST_VERSION_PATCH << '.' << QUILLFAST_VERSION_TWEAK << " built on " << QUILLFAST_BUILD_DATE
                  << std::endl;
        return ExitCode::Success;
    }
    QElapsedTimer clock;
    clock.start();
    Interruption interruption;
    ProgressLine progress(options.progress);
    if (!options.resendDir.isEmpty()) {
        ResendRecord record;
        std::optional<Uploader> uploader;
        const auto poster = [&]() -> Poster& {
            if (!uploader)
                uploader.emplace(options.transport, &progress);
            return *uploader;
        };
        int exitCode = Resend::run(options.resendDir, options.transport, poster, &progress, record);
        // A report that was asked for and is not there is a failure, whatever the resend did.
        if (options.report.isSet() && !RunReport::writeResend(options.report, options.resendDir, record, exitCode, clock.elapsed()))
            exitCode = ExitCode::LocalFailure;
        QMap<QString, int> outcomes;
        for (const ResendRecord::Event& event : qAsConst(record.events))
            ++outcomes[event.outcome];
        progress.summary(QStringLiteral("Resent from %1: %2 delivered, %3 kept, %4 failed, %5 dropped in %6 s")
                             .arg(options.resendDir)
                             .arg(outcomes.value(QStringLiteral("delivered")))
                             .arg(outcomes.value(QStringLiteral("kept")))
                             .arg(outcomes.value(QStringLiteral("failed")))
                             .arg(outcomes.value(QStringLiteral("dropped")))
                             .arg(double(clock.elapsed()) / 1000.0, 0, 'f', 1));
        return exitCode;
    }
    RunRecord record;
    const int exitCode = runSequence(record, progress);
    const bool reported = !options.report.isSet()
        || RunReport::write(options.report, options.url, options.dryRun, record, exitCode, clock.elapsed());
    if (!options.dryRun)
        progress.summary(summaryLine(record, exitCode, clock.elapsed()));
    // A report that was asked for and is not there is a failure, whatever the upload did.
    return reported ? exitCode : ExitCode::LocalFailure;
}

QString Cli::summaryLine(const RunRecord& record, int exitCode, qint64 elapsedMs) const
{
    const QString url = UrlDisplay::text(record.posted ? record.post.finalUrl : options.url);
    const QString what = exitCode == ExitCode::Success ? QStringLiteral("Delivered %1 to %2")
        : !record.queuedAt.isEmpty()                   ? QStringLiteral("Kept in queue %1 for %2")
                                                       : QStringLiteral("Failed to deliver %1 to %2");
    return what.arg(record.eventId, url)
        + QStringLiteral(": %1 in %2 s").arg(record.posted ? record.statusCode : exitCode).arg(double(elapsedMs) / 1000.0, 0, 'f', 1);
}

int Cli::runSequence(RunRecord& record, ProgressLine& progress)
{
    record.eventId = makeEventId();
    const QString archiveName = record.eventId + QLatin1String(".zip");
    record.archivePath = options.workDir + archiveName;
    GroupedProcess archiver;
    if (const int failure = archiveFiles(archiver, record, progress))
        return failure;

    // A dry run leaves the process proxy alone.
    std::optional<Uploader> uploader;
    if (!options.dryRun)
        uploader.emplace(options.transport, &progress);

    // Stays open until the run is over: the upload streams from it.
    BodyFile archive(record.archivePath);
    QList<FormPart> form;
    if (!buildForm(archiveName, archive, form, record))
        return ExitCode::LocalFailure;
    record.archiveBytes = archive.size();

    if (options.dryRun) {
        std::cout << "Dry run: nothing sent to " << toConsole(UrlDisplay::text(options.url)) << std::endl;
        DryRun::print(form);
        return ExitCode::Success;
    }
    Delivery delivery(*uploader, options.transport, &progress);
    const Delivery::Result result = delivery.deliver(options.url, form);
    record.posted = true;
    record.attempts = result.attempts;
    record.post = result.details;
    record.interrupted = result.outcome.kind == Outcome::Kind::Interrupted;
    record.maxTimeReached = result.outcome.kind == Outcome::Kind::Deadline;
    record.statusCode = result.outcome.code;
    if (result.verdict == Delivery::Verdict::Delivered)
        return ExitCode::Success;
    const int exitCode = fail(record, result.outcome.text, result.outcome.code, Source::Peer);
    if (!options.queueDir.isEmpty() && result.verdict == Delivery::Verdict::Keep) {
        if (const int stopped = keepInQueue(form, record))
            return stopped;
    }
    return exitCode;
}

int Cli::keepInQueue(const QList<FormPart>& form, RunRecord& record) const
{
    QueueEntry event;
    event.eventId = record.eventId;
    event.url = options.url;
    event.created = QDateTime::currentDateTimeUtc();
    event.recordOutcome(record.attempts, record.statusCode, record.errorString);
    event.parts = form;
    const int stopped = Keeping::keep(options.queueDir, options.queueLimits, event, record.queuedAt);
    record.interrupted = record.interrupted || stopped != 0;
    return stopped;
}
