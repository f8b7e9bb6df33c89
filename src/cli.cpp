#include "cli.h"

#include <QUuid>

#include "Resend.h"
#include "Uploader.h"
#include "archive/Archiver.h"
#include "archive/BuiltinArchiver.h"
#include "deliver/Delivery.h"
#include "form/BodyFile.h"
#include "form/DryRun.h"
#include "form/EventForm.h"
#include "form/FormBody.h"
#include "net/TlsSettings.h"
#include "queue/Keeping.h"
#include "report/RunReport.h"
#include "report/Summary.h"
#include "support/Interruption.h"
#include "support/ProgressLine.h"
#include "support/UrlDisplay.h"
#include "support/console.h"
#include "support/exitcodes.h"
#include "version.h"

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

int Cli::run()
{
    if (options.displayHelp) {
        Console::write(ArgParser::helpText());
        return ExitCode::Success;
    }
    if (options.displayVersion) {
        Console::out(std::string("Dropwell v") + std::to_string(QUILLFAST_VERSION_MAJOR) + '.'
                     + std::to_string(QUILLFAST_VERSION_MINOR) + '.' + std::to_string(QUILLFAST_VERSION_PATCH) + '.'
                     + std::to_string(QUILLFAST_VERSION_TWEAK) + " built on " + QUILLFAST_BUILD_DATE);
        return ExitCode::Success;
    }
    QElapsedTimer clock;
    clock.start();
    Interruption interruption;
    ProgressLine progress(options.progress);
    return options.resendDir.isEmpty() ? runEvent(progress, clock) : runResend(progress, clock);
}

int Cli::runEvent(ProgressLine& progress, const QElapsedTimer& clock)
{
    RunRecord record;
    record.outcome = runSequence(record, progress).value_or(Outcome::done());
    const bool reported = !options.report.isSet()
        || RunReport::write(options.report, options.url, options.dryRun, record, clock.elapsed());
    if (!options.dryRun)
        progress.summary(Summary::ofRun(record, options.url, clock.elapsed()));
    // A report that was asked for and is not there is a failure, whatever the upload did.
    return reported ? record.outcome.code : ExitCode::LocalFailure;
}

std::optional<Outcome> Cli::runSequence(RunRecord& record, ProgressLine& progress)
{
    record.eventId = makeEventId();
    const QString archiveName = EventForm::archiveName(record.eventId);
    record.archivePath = options.workDir + archiveName;
    // A failed upload keeps its event: the queue is counted meanwhile.
    std::optional<Keeping::Survey> survey;
    if (!options.queueDir.isEmpty() && !options.dryRun)
        survey.emplace(options.queueDir);
    // A dry run leaves the process proxy alone.
    std::optional<Uploader> uploader;
    if (!options.dryRun)
        uploader.emplace(options.transport, &progress);
    // The upload's connection is begun first: a small event's archive is made long before
    // a handshake over a long link is over.
    if (uploader)
        uploader->prepare(options.url);
    // Stays open until the run is over: the upload streams from it.
    BodyFile archive(record.archivePath);
    QList<FormPart> form;
    if (std::optional<Outcome> failed = makeForm(record, progress, uploader ? &*uploader : nullptr, archive, form))
        return failed;
    record.archiveBytes = archive.size();
    if (options.dryRun) {
        Console::out("Dry run: nothing sent to " + toConsole(UrlDisplay::text(options.url)));
        DryRun::print(form);
        return std::nullopt;
    }

    if (options.resumable) {
        const std::optional<ResumableUpload> begun = uploader->resumable();
        uploader->setResumable(form, record.eventId.toLatin1(),
                               begun ? *begun : ResumableUpload{FormBody::newBoundary(), {}});
    }
    Delivery delivery(*uploader, options.transport, &progress);
    if (const std::optional<QDeadlineTimer> began = uploader->uploadDeadline())
        delivery.setDeadline(*began);  // the upload began while the archive was written
    const Delivery::Result result = delivery.deliver(options.url, form, EventForm::eventHeaders(record.eventId, options.hashParts));
    record.post = result.post;
    record.attempts = result.attempts;
    if (result.verdict == Delivery::Verdict::Delivered)
        return std::nullopt;
    // What the peer said reaches the terminal without its control characters.
    Console::err(toConsoleEscaped(result.post.outcome.text));
    // A fault of the set-up is kept too: a person mends it, and the next resend delivers.
    const bool worthKeeping = result.verdict == Delivery::Verdict::Keep || result.verdict == Delivery::Verdict::OwnFault;
    if (!options.queueDir.isEmpty() && worthKeeping) {
        const Keeping::Event event{record.eventId,         options.url,       form, record.attempts,
                                   result.post.outcome,    options.hashParts, uploader->resumable()};
        if (std::optional<Outcome> stopped = Keeping::keep(options.queueDir, options.queueLimits, event, record.queuedAt,
                                                                      survey ? &*survey : nullptr))
            return stopped;
    }
    return result.post.outcome;
}

std::optional<Outcome> Cli::makeForm(const RunRecord& record, ProgressLine& progress, Uploader* uploader,
                                     BodyFile& archive, QList<FormPart>& form)
{
    // The upload's TLS is made ready while the archive is written, on a CPU left idle.
    const auto prepareTls = [this, uploader] {
        if (uploader)
            TlsSettings::prepare(options.transport, options.url);
    };
    const EventForm::Event event{record.eventId, options.jsonFile, options.postVariables,
                                 EventForm::archiveName(record.eventId), options.hashParts};
    // A resumable upload begins while the built-in engine writes the archive, front to back:
    // each piece goes once written. Not with --hash-parts, whose digests need the whole archive.
    const bool sendWhileWritten = uploader && options.resumable && options.builtinArchiver && !options.hashParts;
    bool formBuilt = false;
    std::vector<std::string> held;  // what the upload said meanwhile: after the archive's line
    const BuiltinArchiver::Meanwhile meanwhile = [&](const std::function<bool()>& writingOver) {
        prepareTls();
        if (!sendWhileWritten || EventForm::build(event, archive, form, true))
            return;  // a form that failed is built again, aloud, once the archive is there
        formBuilt = true;
        uploader->setResumable(form, record.eventId.toLatin1(), ResumableUpload{FormBody::newBoundary(), {}});
        uploader->sendWhileWritten(options.url, archive, writingOver, held);
    };
    // 7z's process lives as long as the run.
    Archiver archiver(options.files, options.zipLevel);
    if (std::optional<Outcome> failed = options.builtinArchiver
            ? BuiltinArchiver(options.files, options.zipLevel).run(record.archivePath, progress, meanwhile)
            : archiver.run(record.archivePath, progress, prepareTls)) {
        if (formBuilt)
            uploader->abandonResumable();
        return failed;
    }
    if (formBuilt) {
        // Opened while the archive was written: its size is fixed again, now that it is whole.
        archive.close();
        if (!archive.open(QIODevice::ReadOnly)) {
            uploader->abandonResumable();
            form.clear();
            formBuilt = false;
        }
    }
    // Said as the upload would have said it after the archive: only of an upload made.
    if (formBuilt && !uploader->resumable()->progress.url.isEmpty())
        for (const std::string& line : held)
            Console::out(line);
    if (formBuilt)
        return std::nullopt;
    return EventForm::build(event, archive, form);
}

int Cli::runResend(ProgressLine& progress, const QElapsedTimer& clock)
{
    ResendRecord record;
    // Made for the first event to post, and not before: it installs the process's proxy.
    std::optional<Uploader> uploader;
    const auto poster = [&]() -> Poster& {
        if (!uploader)
            uploader.emplace(options.transport, &progress);
        return *uploader;
    };
    const int exitCode = Resend::run(options.resendDir, options.transport, poster, &progress, record,
                                     {options.allEntries, QDateTime()});
    const bool reported = !options.report.isSet()
        || RunReport::writeResend(options.report, options.resendDir, record, exitCode, clock.elapsed());
    progress.summary(Summary::ofResend(options.resendDir, record, clock.elapsed()));
    return reported ? exitCode : ExitCode::LocalFailure;
}
