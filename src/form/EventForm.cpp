#include "form/EventForm.h"

#include <QCryptographicHash>

#include "parse/FileLimits.h"
#include "support/PosixFiles.h"
#include "support/console.h"

namespace EventForm {

namespace {

Outcome cannotOpen(const QString& text, QList<FormPart>& form, bool quiet)
{
    form.clear();
    if (!quiet)
        Console::err(toConsole(text));
    return Outcome::local(text);
}

}

std::optional<Outcome> build(const Event& event, BodyFile& archive, QList<FormPart>& form, bool quiet)
{
    if (!event.jsonFile.isEmpty()) {
        // Only a regular file (a FIFO would wait for ever), and a description
        // this large is the wrong file: it would only cost the memory of a
        // machine that has just crashed.
        QByteArray text;
        QString why;
        switch (PosixFiles::readNamedFile(event.jsonFile, FileLimits::description, text, why)) {
        case PosixFiles::Read::Unreadable:
            return cannotOpen(QStringLiteral("Fail to open ") + event.jsonFile, form, quiet);
        case PosixFiles::Read::TooLarge:
            return cannotOpen(QStringLiteral("Fail to open ") + event.jsonFile + QStringLiteral(": larger than 64 MiB"), form, quiet);
        case PosixFiles::Read::Ok:
            break;
        }
        FormPart part;
        part.name = "jsonFile";
        part.fileName = jsonPartFileName(event.eventId, event.jsonFile).toLatin1();
        part.contentType = "application/octet-stream";
        part.body = fillPlaceholders(text, event.eventId, event.variables);
        if (event.hashParts)
            part.sha256 = QCryptographicHash::hash(part.body, QCryptographicHash::Sha256);
        form.append(part);
    }

    // Streamed from the open file: a crash dump may not fit in memory, or in a QByteArray.
    if (!archive.open(QIODevice::ReadOnly))
        return cannotOpen(QStringLiteral("Fail to open ") + event.archiveName, form, quiet);
    FormPart zip;
    zip.name = "zipFile";
    zip.fileName = event.archiveName.toLatin1();
    zip.contentType = "application/x-zip-compressed";
    zip.bodyDevice = &archive;
    zip.bodyFile = archive.fileName();
    if (event.hashParts) {
        // Read once here for its digest: the upload streams it again.
        QCryptographicHash digest(QCryptographicHash::Sha256);
        if (!digest.addData(&archive) || !archive.rewind())
            return cannotOpen(QStringLiteral("Fail to open ") + event.archiveName, form, quiet);
        zip.sha256 = digest.result();
    }
    form.append(zip);

    for (auto variable = event.variables.cbegin(); variable != event.variables.cend(); ++variable) {
        FormPart part;
        part.name = variable.key().toLatin1();
        part.body = variable.value().toLatin1();
        form.append(part);
    }
    return std::nullopt;
}

QList<RequestHeaders::Header> eventHeaders(const QString& eventId, bool hashParts)
{
    if (!hashParts)
        return {};
    return {{"Idempotency-Key", '"' + eventId.toLatin1() + '"'}};
}

QString archiveName(const QString& eventId)
{
    return eventId + QLatin1String(".zip");
}

QByteArray fillPlaceholders(QByteArray json, const QString& eventId, const QMap<QString, QString>& variables)
{
    json.replace("$eventId", eventId.toLatin1());
    json.replace("$org", variables.value(QStringLiteral("org")).toLatin1());
    json.replace("$project", variables.value(QStringLiteral("project")).toLatin1());
    json.replace("$type", variables.value(QStringLiteral("type")).toLatin1());
    return json;
}

QString jsonPartFileName(const QString& eventId, const QString& jsonPath)
{
    return eventId + jsonPath.mid(jsonPath.lastIndexOf(QLatin1Char('.'), -1, Qt::CaseSensitive));
}

}
