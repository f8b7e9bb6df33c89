#include "queue/QueueEntry.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

#include <algorithm>
#include <cmath>

#include "post/PeerCheck.h"

namespace {

const QString created_format = QStringLiteral("yyyyMMdd'T'HHmmss.zzz'Z'");

// An integer field within [low, high], or false.
bool readInteger(const QJsonObject& object, const char* key, qint64 low, qint64 high, qint64& value)
{
    const QJsonValue field = object.value(QLatin1String(key));
    if (!field.isDouble())
        return false;
    const double number = field.toDouble();
    if (std::floor(number) != number || number < double(low) || number > double(high))
        return false;
    value = qint64(number);
    return true;
}

bool readString(const QJsonObject& object, const char* key, QString& value)
{
    const QJsonValue field = object.value(QLatin1String(key));
    if (!field.isString())
        return false;
    value = field.toString();
    return true;
}

// Each byte one character, so that header bytes come back as they were.
bool readBytes(const QJsonObject& object, const char* key, QByteArray& value)
{
    QString text;
    if (!readString(object, key, text))
        return false;
    if (std::any_of(text.begin(), text.end(), [](QChar c) { return c.unicode() > 0xff; }))
        return false;
    value = text.toLatin1();
    return true;
}

// When it may be posted again: both fields or neither, within their bounds.
bool readSchedule(const QJsonObject& object, QueueEntry& entry)
{
    if (!object.contains(QStringLiteral("nextAttempt")) && !object.contains(QStringLiteral("backoffSeconds")))
        return true;
    QString next;
    qint64 backoff = 0;
    if (!readString(object, "nextAttempt", next)
        || !readInteger(object, "backoffSeconds", 1, QueueEntry::maxBackoffSeconds, backoff))
        return false;
    entry.nextAttempt = QDateTime::fromString(next, Qt::ISODateWithMs);
    entry.backoffSeconds = int(backoff);
    return entry.nextAttempt.isValid();
}

// A resumable upload's state: its boundary, and an offset confirmed no further than sent.
bool readUpload(const QJsonObject& object, QueueEntry& entry)
{
    ResumableUpload upload;
    TusProgress& progress = upload.progress;
    const QJsonValue startedOver = object.value(QStringLiteral("startedOver"));
    if (!readBytes(object, "boundary", upload.boundary) || !ResumableUpload::isBoundary(upload.boundary)
        || !readInteger(object, "confirmed", 0, qint64(1) << 50, progress.confirmed)
        || !readInteger(object, "sent", progress.confirmed, qint64(1) << 50, progress.sent) || !startedOver.isBool())
        return false;
    progress.startedOver = startedOver.toBool();
    if (object.contains(QStringLiteral("url"))) {
        QByteArray url;
        if (!readBytes(object, "url", url))
            return false;
        progress.url = QUrl::fromEncoded(url, QUrl::StrictMode);
        if (!PeerCheck::isPostable(progress.url))
            return false;
    } else if (progress.sent != 0) {
        return false;  // nothing is sent before the upload is made
    }
    entry.upload = upload;
    return true;
}

bool readPart(const QJsonObject& object, int index, QueueEntry& entry, QString& why)
{
    FormPart part;
    if (!readBytes(object, "name", part.name) || !readBytes(object, "fileName", part.fileName)
        || !readBytes(object, "contentType", part.contentType) || !FormPart::mayHold(part.name)
        || !FormPart::mayHold(part.fileName) || !FormPart::mayHold(part.contentType)) {
        why = QStringLiteral("part %1 has a bad name, file name or type").arg(index);
        return false;
    }
    if (!QueueEntry::storedInFile(part)) {
        if (!readBytes(object, "value", part.body)) {
            why = QStringLiteral("part %1 has no value").arg(index);
            return false;
        }
        entry.parts.append(part);
        return true;
    }
    QueueEntry::StoredBody body;
    body.part = index;
    QByteArray file;
    static const QRegularExpression hex(QStringLiteral("\\A[0-9a-f]{64}\\z"));
    if (!readBytes(object, "body", file) || file != QueueEntry::bodyFileName(index)
        || !readInteger(object, "size", 0, qint64(1) << 50, body.size) || !readBytes(object, "sha256", body.sha256)
        || !hex.match(QString::fromLatin1(body.sha256)).hasMatch()) {
        why = QStringLiteral("part %1 has a bad body file, size or sha256").arg(index);
        return false;
    }
    if (entry.bodies.size() == QueueEntry::maxBodies) {
        why = QStringLiteral("more than %1 parts kept in files").arg(QueueEntry::maxBodies);
        return false;
    }
    part.bodyFile = QString::fromLatin1(file);
    entry.parts.append(part);
    entry.bodies.append(body);
    return true;
}

}

bool QueueEntry::storedInFile(const FormPart& part)
{
    return !part.fileName.isEmpty() || !part.bodyFile.isEmpty() || part.bodyDevice;
}

QByteArray QueueEntry::bodyFileName(int part)
{
    return "part-" + QByteArray::number(part);
}

QString QueueEntry::folderName(const QDateTime& created, const QString& eventId)
{
    return created.toUTC().toString(created_format) + QLatin1Char('-') + eventId;
}

bool QueueEntry::isFolderName(const QString& name, QString* eventId)
{
    static const QRegularExpression pattern(QStringLiteral("\\A\\d{8}T\\d{6}\\.\\d{3}Z-([0-9A-Za-z-]{1,64})\\z"));
    const QRegularExpressionMatch match = pattern.match(name);
    if (match.hasMatch() && eventId)
        *eventId = match.captured(1);
    return match.hasMatch();
}

void QueueEntry::recordOutcome(int moreAttempts, int status, const QString& error)
{
    attempts = int(std::min<qint64>(qint64(attempts) + std::max(moreAttempts, 0), maxAttempts));
    lastStatus = status;
    lastError = error.left(maxErrorChars);
}

void QueueEntry::backOff(const QDateTime& now)
{
    backoffSeconds = backoffSeconds == 0 ? firstBackoffSeconds : std::min(2 * backoffSeconds, maxBackoffSeconds);
    nextAttempt = now.addSecs(backoffSeconds);
}

QByteArray QueueEntry::toJson() const
{
    QJsonArray partList;
    int stored = 0;
    for (int i = 0; i < parts.size(); ++i) {
        const FormPart& part = parts.at(i);
        QJsonObject object{{QStringLiteral("name"), QString::fromLatin1(part.name)},
                           {QStringLiteral("fileName"), QString::fromLatin1(part.fileName)},
                           {QStringLiteral("contentType"), QString::fromLatin1(part.contentType)}};
        if (storedInFile(part) && stored < bodies.size()) {
            const StoredBody& body = bodies.at(stored++);
            object.insert(QStringLiteral("body"), QString::fromLatin1(bodyFileName(i)));
            object.insert(QStringLiteral("size"), double(body.size));
            object.insert(QStringLiteral("sha256"), QString::fromLatin1(body.sha256));
        } else {
            object.insert(QStringLiteral("value"), QString::fromLatin1(part.body));
        }
        partList.append(object);
    }
    QJsonObject description{
        {QStringLiteral("format"), upload ? resumableFormat : format},
        {QStringLiteral("eventId"), eventId},
        {QStringLiteral("url"), QString::fromLatin1(url.toEncoded())},
        {QStringLiteral("created"), created.toUTC().toString(Qt::ISODateWithMs)},
        {QStringLiteral("attempts"), attempts},
        {QStringLiteral("lastStatus"), lastStatus},
        {QStringLiteral("lastError"), lastError.left(maxErrorChars)},
        {QStringLiteral("failed"), failed},
        {QStringLiteral("parts"), partList},
    };
    if (hashParts)
        description.insert(QStringLiteral("hashParts"), true);
    if (upload) {
        QJsonObject state{{QStringLiteral("boundary"), QString::fromLatin1(upload->boundary)},
                          {QStringLiteral("confirmed"), double(upload->progress.confirmed)},
                          {QStringLiteral("sent"), double(upload->progress.sent)},
                          {QStringLiteral("startedOver"), upload->progress.startedOver}};
        if (!upload->progress.url.isEmpty())
            state.insert(QStringLiteral("url"), QString::fromLatin1(upload->progress.url.toEncoded()));
        description.insert(QStringLiteral("upload"), state);
    }
    // Only once a resend has put it off: an entry without them is due now, as older ones are.
    if (nextAttempt.isValid()) {
        description.insert(QStringLiteral("nextAttempt"), nextAttempt.toUTC().toString(Qt::ISODateWithMs));
        description.insert(QStringLiteral("backoffSeconds"), backoffSeconds);
    }
    return QJsonDocument(description).toJson();
}

bool QueueEntry::fromJson(const QByteArray& json, const QString& folder, QueueEntry& entry, QString& why)
{
    entry = QueueEntry();
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(json, &error);
    const QJsonObject object = document.object();
    qint64 version = 0;
    if (error.error != QJsonParseError::NoError || !document.isObject()
        || !readInteger(object, "format", format, resumableFormat, version)) {
        why = QStringLiteral("not an entry of this program's format");
        return false;
    }
    auto bad = [&why](const char* field) {
        why = QStringLiteral("a bad %1").arg(QLatin1String(field));
        return false;
    };
    QString folderId;
    if (!readString(object, "eventId", entry.eventId) || !isFolderName(folder, &folderId) || folderId != entry.eventId)
        return bad("event id");
    QByteArray url;
    if (!readBytes(object, "url", url))
        return bad("url");
    entry.url = QUrl::fromEncoded(url, QUrl::StrictMode);
    if (!PeerCheck::isPostable(entry.url))
        return bad("url");
    QString created;
    if (!readString(object, "created", created))
        return bad("creation time");
    entry.created = QDateTime::fromString(created, Qt::ISODateWithMs);
    if (!entry.created.isValid() || folderName(entry.created, entry.eventId) != folder)
        return bad("creation time");
    qint64 attempts = 0;
    qint64 status = 0;
    if (!readInteger(object, "attempts", 0, maxAttempts, attempts))
        return bad("attempt count");
    if (!readInteger(object, "lastStatus", -1, 999, status))
        return bad("last status");
    entry.attempts = int(attempts);
    entry.lastStatus = int(status);
    if (!readString(object, "lastError", entry.lastError) || entry.lastError.size() > maxErrorChars)
        return bad("last error");
    const QJsonValue failed = object.value(QStringLiteral("failed"));
    if (!failed.isBool())
        return bad("failed mark");
    entry.failed = failed.toBool();
    if (!readSchedule(object, entry))
        return bad("next attempt");
    const QJsonValue hashParts = object.value(QStringLiteral("hashParts"));
    if (!hashParts.isUndefined() && !hashParts.isBool())
        return bad("digest mark");
    entry.hashParts = hashParts.toBool();
    const QJsonValue upload = object.value(QStringLiteral("upload"));
    if ((version == resumableFormat) != upload.isObject() || (upload.isObject() && !readUpload(upload.toObject(), entry)))
        return bad("upload");
    const QJsonArray parts = object.value(QStringLiteral("parts")).toArray();
    if (parts.isEmpty())
        return bad("part list");
    for (int i = 0; i < parts.size(); ++i) {
        if (!parts.at(i).isObject() || !readPart(parts.at(i).toObject(), i, entry, why))
            return why.isEmpty() ? bad("part") : false;
    }
    return true;
}
