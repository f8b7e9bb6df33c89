#ifndef RUNREPORT_H
#define RUNREPORT_H

#include <QString>
#include <QUrl>

#include "report/RunRecord.h"

namespace RunReport {

// Writes the record as JSON to path, whole or not at all; a failure is printed, not returned.
void write(const QString& path, const QUrl& url, bool dryRun, const RunRecord& record, int exitCode,
           qint64 elapsedMs);
// The same for a resend: each event's outcome.
void writeResend(const QString& path, const QString& queueDir, const ResendRecord& record, int exitCode,
                 qint64 elapsedMs);

}

#endif
