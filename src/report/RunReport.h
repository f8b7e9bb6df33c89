#ifndef RUNREPORT_H
#define RUNREPORT_H

#include <QString>
#include <QUrl>

#include "report/RunRecord.h"
#include "support/FileTarget.h"

namespace RunReport {

// Writes the record as JSON to the target, whole or not at all; false, after
// "Fail to write report PATH: WHY" on standard error, when it could not.
bool write(const FileTarget& target, const QUrl& url, bool dryRun, const RunRecord& record, qint64 elapsedMs);
// The same for a resend: each event's outcome.
bool writeResend(const FileTarget& target, const QString& queueDir, const ResendRecord& record, int exitCode,
                 qint64 elapsedMs);

}

#endif
