#ifndef RUNREPORT_H
#define RUNREPORT_H

#include <QString>
#include <QUrl>

#include "queue/Resend.h"
#include "Uploader.h"

// What one run did, for the --report file.
struct RunRecord {
    QString eventId;
    QString archivePath;
    qint64 archiveBytes = -1;
    bool posted = false;
    int statusCode = 0;
    QString errorString;
    int attempts = 0;
    bool interrupted = false;
    QString queuedAt;  // the queue entry that keeps the event, when one does  // the queue entry that keeps the event, when one does
    Uploader::Exchange exchange;
};

namespace RunReport {

// Writes the record as JSON to path, whole or not at all; a failure is printed, not returned.
void write(const QString& path, const QUrl& url, bool dryRun, const RunRecord& record, int exitCode,
           qint64 elapsedMs);
// The same for a resend: each event's outcome.
void writeResend(const QString& path, const QString& queueDir, const Resend::Record& record, int exitCode,
                 qint64 elapsedMs);

}

#endif
