#include "cli.h"

#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocale>
#include <QProcess>
#include <QRandomGenerator>
#include <QSaveFile>
#include <QThread>
#include <QUuid>

#include <algorithm>
#include <iostream>
#include <limits>
#include <optional>

#include "console.h"

namespace {
const char* const archiver_program = "7z";
const qint64 maxJsonBytes = 64 << 20;
}

QHttpPart Cli::FormPart::toHttpPart() const
{
    QHttpPart part;
    if (!contentType.isEmpty())
        part.setHeader(QNetworkRequest::ContentTypeHeader, contentType);
    QByteArray disposition = "form-data; name=\"" + name + '"';
    if (!fileName.isEmpty())
        disposition += "; filename=\"" + fileName + '"';
    part.setHeader(QNetworkRequest::ContentDispositionHeader, disposition);
    if (bodyDevice)
        part.setBodyDevice(bodyDevice);
    else
        part.setBody(body);
    return part;
}

Cli::Cli()
    : QObject(nullptr)
    , eventLoop(nullptr)
{
}

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

QByteArray Cli::fillPlaceholders(QByteArray json, const QString& eventId, const QMap<QString, QString>& variables)
{
    json.replace("$eventId", eventId.toLatin1());
    json.replace("$org", variables.value(QStringLiteral("org")).toLatin1());
    json.replace("$project", variables.value(QStringLiteral("project")).toLatin1());
    json.replace("$type", variables.value(QStringLiteral("type")).toLatin1());
    return json;
}

QString Cli::jsonPartFileName(const QString& eventId, const QString& jsonPath)
{
    return eventId + jsonPath.mid(jsonPath.lastIndexOf(QLatin1Char('.'), -1, Qt::CaseSensitive));
}

bool Cli::archiveFiles(QProcess& archiver, const QString& archivePath, QString& error) const
{
    const QString program = QLatin1String(archiver_program);
    const QStringList arguments = QStringList{QStringLiteral("a"), archivePath} + options.files;

    archiver.setProcessChannelMode(QProcess::MergedChannels);
    archiver.start(program, arguments, QIODevice::ReadWrite);
    if (!archiver.waitForStarted(30000)) {
        std::cerr << "Failed to start " << archiver_program << std::endl;
        error = QStringLiteral("Failed to start ") + program;
        return false;
    }
    // An archiver that asks a question gets end-of-file instead of waiting for ever.
    archiver.closeWriteChannel();
    archiver.waitForFinished(-1);

    const QString message = archiverMessage(archiver.readAll());
    if (archiver.exitCode() == 0) {
        std::cout << archiver_program << " output : \n" << toConsole(message) << std::endl;
        return true;
    }
    std::cerr << "Fail to zip! \n\t Message: \n" << toConsole(message) << std::endl;
    std::cout << "Fail to execute: " << archiver_program << '"'
              << toConsole(arguments.join(QStringLiteral("\" \""))) << '"' << std::endl;
    error = QStringLiteral("Fail to zip! ") + message;
    return false;
}

bool Cli::buildForm(const QString& eventId, const QString& archiveName, QFile& archive, QList<FormPart>& form,
                    QString& error) const
{
    if (!options.jsonFile.isEmpty()) {
        QFile json(options.jsonFile);
        if (!json.open(QIODevice::ReadOnly)) {
            error = QStringLiteral("Fail to open ") + options.jsonFile;
            std::cerr << toConsole(error) << std::endl;
            return false;
        }
        // A description this large is the wrong file (or a device that never
        // ends): it would only cost the memory of a machine that has just crashed.
        const QByteArray text = json.read(maxJsonBytes + 1);
        if (text.size() > maxJsonBytes) {
            error = QStringLiteral("Fail to open ") + options.jsonFile + QStringLiteral(": larger than 64 MiB");
            std::cerr << toConsole(error) << std::endl;
            return false;
        }
        FormPart part;
        part.name = "jsonFile";
        part.fileName = jsonPartFileName(eventId, options.jsonFile).toLatin1();
        part.contentType = "application/octet-stream";
        part.body = fillPlaceholders(text, eventId, options.postVariables);
        form.append(part);
    }

    // Streamed from the open file: a crash dump may not fit in memory, or in a QByteArray.
    if (!archive.open(QIODevice::ReadOnly)) {
        error = QStringLiteral("Fail to open ") + archiveName;
        std::cerr << toConsole(error) << std::endl;
        form.clear();
        return false;
    }
    FormPart zip;
    zip.name = "zipFile";
    zip.fileName = archiveName.toLatin1();
    zip.contentType = "application/x-zip-compressed";
    zip.bodyDevice = &archive;
    form.append(zip);

    for (auto variable = options.postVariables.cbegin(); variable != options.postVariables.cend(); ++variable) {
        FormPart part;
        part.name = variable.key().toLatin1();
        part.body = variable.value().toLatin1();
        form.append(part);
    }
    return true;
}

bool Cli::isTransient(int statusCode)
{
    static const int transient[] = {11, 12, 13, 14, 16, 18, 20, 408, 429, 500, 502, 503, 504};
    return std::find(std::begin(transient), std::end(transient), statusCode) != std::end(transient);
}

qint64 Cli::parseRetryAfterMs(const QByteArray& retryAfter, const QDateTime& now)
{
    const QString text = QString::fromLatin1(retryAfter).trimmed();
    if (!text.isEmpty() && std::all_of(text.begin(), text.end(), [](QChar c) { return c.isDigit(); }))
        return text.size() > 9 ? std::numeric_limits<qint64>::max() / 2 : text.toLongLong() * 1000;
    QDateTime date = QLocale::c().toDateTime(text, QStringLiteral("ddd, dd MMM yyyy hh:mm:ss 'GMT'"));
    if (!date.isValid())
        return -1;
    date.setTimeSpec(Qt::UTC);
    return std::max<qint64>(0, now.msecsTo(date));
}

qint64 Cli::retryDelayMs(int retryNumber, int statusCode, const QByteArray& retryAfter, const QDateTime& now,
                         double jitter)
{
    if (statusCode == 429 || statusCode == 503) {
        const qint64 asked = parseRetryAfterMs(retryAfter, now);
        if (asked >= 0)
            return std::min<qint64>(asked, 300000);
    }
    const qint64 base = std::min<qint64>(60000, 1000LL << std::min(retryNumber - 1, 6));
    return std::min<qint64>(60000, base + qint64(double(base) * 0.25 * jitter));
}

int Cli::run()
{
    if (options.displayVersion) {
        std::cout << "Dropwell v" << 1 << '.' << 0 << '.' << 0 << '.' << 0
                  << " built on " << "Thursday March 24th 2016, 14:30:49 UTC" << std::endl;
        return 0;
    }
    QElapsedTimer clock;
    clock.start();
    RunRecord record;
    const int exitCode = runSequence(record);
    if (!options.reportFile.isEmpty())
        writeReport(record, exitCode, clock.elapsed());
    return exitCode;
}

int Cli::runSequence(RunRecord& record)
{
    record.eventId = makeEventId();
    const QString archiveName = record.eventId + QLatin1String(".zip");
    record.archivePath = options.workDir + archiveName;
    QProcess archiver;
    if (!archiveFiles(archiver, record.archivePath, record.errorString))
        return -1;

    // A dry run leaves the process proxy alone.
    std::optional<Uploader> uploader;
    if (!options.dryRun)
        uploader.emplace(options.proxyType, options.proxy);

    // Stays open until the run is over: the upload streams from it.
    QFile archive(record.archivePath);
    QList<FormPart> form;
    if (!buildForm(record.eventId, archiveName, archive, form, record.errorString))
        return -1;
    record.archiveBytes = archive.size();

    if (options.dryRun) {
        printDryRun(form);
        return 0;
    }
    const Uploader::HTTPResponse response = upload(*uploader, form, archive, record);
    if (response.statusCode == 200)
        return 0;
    std::cerr << toConsole(response.errorString) << std::endl;
    return response.statusCode;
}

Uploader::HTTPResponse Cli::upload(Uploader& uploader, const QList<FormPart>& form, QFile& archive,
                                   RunRecord& record) const
{
    uploader.setCaCertificates(options.caCertificates);
    uploader.setIdleTimeout(options.idleTimeout);
    QList<QHttpPart> parts;
    for (const FormPart& part : form)
        parts.append(part.toHttpPart());

    Uploader::HTTPResponse response;
    for (int attempt = 1;; ++attempt) {
        response = uploader.uploadMultiPart(options.url, parts, {&archive});
        record.attempts = attempt;
        record.exchange = uploader.lastExchange();
        if (attempt > options.retry || !isTransient(response.statusCode))
            break;
        const qint64 waitMs = retryDelayMs(attempt, response.statusCode, record.exchange.retryAfter,
                                           QDateTime::currentDateTimeUtc(), QRandomGenerator::global()->generateDouble());
        std::cout << "Retry " << attempt << " of " << options.retry << " in " << (waitMs + 999) / 1000
                  << " s: " << toConsole(response.errorString) << std::endl;
        QThread::msleep(static_cast<unsigned long>(waitMs));
    }
    record.posted = true;
    record.statusCode = response.statusCode;
    record.errorString = response.errorString;
    return response;
}

void Cli::printDryRun(const QList<FormPart>& form) const
{
    std::cout << "Dry run: nothing sent to " << toConsole(options.url.toString()) << std::endl;
    QByteArray json;
    bool hasJson = false;
    for (const FormPart& part : form) {
        QCryptographicHash sha256(QCryptographicHash::Sha256);
        qint64 size = part.body.size();
        if (part.bodyDevice) {
            part.bodyDevice->seek(0);
            sha256.addData(part.bodyDevice);
            size = part.bodyDevice->size();
        } else {
            sha256.addData(part.body);
        }
        QByteArray line = "name=\"" + part.name + '"';
        if (!part.fileName.isEmpty())
            line += " filename=\"" + part.fileName + '"';
        if (!part.contentType.isEmpty())
            line += " type=" + part.contentType;
        line += " size=" + QByteArray::number(size) + " sha256=" + sha256.result().toHex();
        if (part.fileName.isEmpty())
            line += " value=\"" + part.body + '"';
        std::cout << line.toStdString() << std::endl;
        if (part.name == "jsonFile" && !part.fileName.isEmpty()) {
            json = part.body;
            hasJson = true;
        }
    }
    if (hasJson) {
        if (!json.isEmpty() && !json.endsWith('\n'))
            json += '\n';
        std::cout << "--- jsonFile ---\n" << json.toStdString() << "--- end ---" << std::endl;
    }
}

void Cli::writeReport(const RunRecord& record, int exitCode, qint64 elapsedMs) const
{
    QJsonObject report{
        {QStringLiteral("eventId"), record.eventId},
        {QStringLiteral("url"), options.url.toString()},
        {QStringLiteral("finalUrl"), record.posted ? QJsonValue(record.exchange.finalUrl.toString()) : QJsonValue()},
        {QStringLiteral("statusCode"), record.posted ? QJsonValue(record.statusCode) : QJsonValue()},
        {QStringLiteral("exitCode"), exitCode},
        {QStringLiteral("errorString"), record.errorString},
        {QStringLiteral("attempts"), record.attempts},
        {QStringLiteral("redirects"), record.exchange.redirects},
        {QStringLiteral("archivePath"), record.archivePath},
        {QStringLiteral("archiveBytes"), record.archiveBytes >= 0 ? QJsonValue(double(record.archiveBytes)) : QJsonValue()},
        {QStringLiteral("bytesSent"), double(record.exchange.bytesSent)},
        {QStringLiteral("elapsedMs"), double(elapsedMs)},
        {QStringLiteral("dryRun"), options.dryRun},
    };
    // Written whole or not at all, so a reader never sees half a report.
    QSaveFile file(options.reportFile);
    if (!file.open(QIODevice::WriteOnly) || file.write(QJsonDocument(report).toJson()) < 0 || !file.commit())
        std::cerr << "Fail to write report " << toConsole(options.reportFile) << ": " << toConsole(file.errorString())
                  << std::endl;
}
