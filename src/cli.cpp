#include "cli.h"

#include <QFile>
#include <QProcess>
#include <QRegExp>
#include <QUuid>

#include <iostream>

#include "Uploader.h"
#include "console.h"

namespace {
const char* const archiver_program = "7z";
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
    QString text = QString::fromLatin1(output);
    text.replace(QRegExp(QStringLiteral("[\n|\r]+")), QStringLiteral("\n"));
    return text.trimmed();
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

bool Cli::archiveFiles(QProcess& archiver, const QString& archivePath) const
{
    const QString program = QLatin1String(archiver_program);
    const QStringList arguments = QStringList{QStringLiteral("a"), archivePath} + options.files;

    archiver.setProcessChannelMode(QProcess::MergedChannels);
    archiver.start(program, arguments, QIODevice::ReadWrite);
    if (!archiver.waitForStarted(30000)) {
        std::cerr << "Failed to start " << archiver_program << std::endl;
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
    return false;
}

bool Cli::buildForm(const QString& eventId, const QString& archiveName, QFile& archive, QList<FormPart>& form) const
{
    if (!options.jsonFile.isEmpty()) {
        QFile json(options.jsonFile);
        if (!json.open(QIODevice::ReadOnly)) {
            std::cerr << "Fail to open " << toConsole(options.jsonFile) << std::endl;
            return false;
        }
        FormPart part;
        part.name = "jsonFile";
        part.fileName = jsonPartFileName(eventId, options.jsonFile).toLatin1();
        part.contentType = "application/octet-stream";
        part.body = fillPlaceholders(json.readAll(), eventId, options.postVariables);
        form.append(part);
    }

    // Streamed from the open file: a crash dump may not fit in memory, or in a QByteArray.
    if (!archive.open(QIODevice::ReadOnly)) {
        std::cerr << "Fail to open " << toConsole(archiveName) << std::endl;
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

int Cli::run()
{
    if (options.displayVersion) {
        std::cout << "Dropwell v" << 1 << '.' << 0 << '.' << 0 << '.' << 0
                  << " built on " << "Thursday March 24th 2016, 14:30:49 UTC" << std::endl;
        return 0;
    }

    const QString eventId = makeEventId();
    const QString archiveName = eventId + QLatin1String(".zip");
    QProcess archiver;
    if (!archiveFiles(archiver, options.workDir + archiveName))
        return -1;

    Uploader uploader(options.proxyType, options.proxy);

    // Stays open until the run is over: the upload streams from it.
    QFile archive(options.workDir + archiveName);
    QList<FormPart> form;
    if (!buildForm(eventId, archiveName, archive, form))
        return -1;

    QList<QHttpPart> parts;
    for (const FormPart& part : form)
        parts.append(part.toHttpPart());
    const Uploader::HTTPResponse response = uploader.uploadMultiPart(options.url, parts, {&archive});

    if (response.statusCode == 200)
        return 0;
    std::cerr << toConsole(response.errorString) << std::endl;
    return response.statusCode;
}
