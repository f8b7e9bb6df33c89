#ifndef QUEUE_ENTRIES_H
#define QUEUE_ENTRIES_H

#include <QDateTime>
#include <QString>
#include <QUrl>

#include "queue/QueueEntry.h"

// An entry as a run keeps it: a JSON part with bytes that need escaping, the
// archive (from the file archive, or none when it is empty), and a variable;
// created minutesAgo, after two attempts that met a 503.
inline QueueEntry makeEntry(const QString& id, const QString& archive, int minutesAgo)
{
    QueueEntry entry;
    entry.eventId = id;
    entry.url = QUrl(QStringLiteral("https://user:pw@collector.example/submit?x=%C3%A9"));
    entry.created = QDateTime::currentDateTimeUtc().addSecs(-60LL * minutesAgo);
    entry.attempts = 2;
    entry.lastStatus = 503;
    entry.lastError = QStringLiteral("Service Unavailable");
    FormPart json;
    json.name = "jsonFile";
    json.fileName = id.toLatin1() + ".json";
    json.contentType = "application/octet-stream";
    json.body = "{\"caf\xe9\":\r\n1}";
    FormPart zip;
    zip.name = "zipFile";
    zip.fileName = id.toLatin1() + ".zip";
    zip.contentType = "application/x-zip-compressed";
    zip.bodyFile = archive;
    FormPart variable;
    variable.name = "q\"k";
    variable.body = "v\xe9";
    entry.parts = {json, zip, variable};
    return entry;
}

#endif
