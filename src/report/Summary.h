#ifndef SUMMARY_H
#define SUMMARY_H

#include <QString>
#include <QUrl>

#include "report/RunRecord.h"

// The last line a person at a terminal sees (ProgressLine::summary shows it).
namespace Summary {

// "Delivered ID to URL: 200 in 1.2 s", "Kept in queue ID for URL: ..." or "Failed to deliver ID to URL: ...";
// the URL is the last one posted to, without its password.
QString ofRun(const RunRecord& record, const QUrl& url, qint64 elapsedMs);
// "Resent from DIR: N delivered, N kept, N failed, N dropped, N waiting in S s".
QString ofResend(const QString& queueDir, const ResendRecord& record, qint64 elapsedMs);

}

#endif
