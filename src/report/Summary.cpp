#include "report/Summary.h"

#include "support/UrlDisplay.h"

namespace Summary {

namespace {
QString seconds(qint64 elapsedMs)
{
    return QString::number(double(elapsedMs) / 1000.0, 'f', 1);
}
}

QString ofRun(const RunRecord& record, const QUrl& url, qint64 elapsedMs)
{
    const QString shown = UrlDisplay::text(record.posted() ? record.post->finalUrl : url);
    const QString what = record.outcome.kind == Outcome::Kind::Done ? QStringLiteral("Delivered %1 to %2")
        : !record.queuedAt.isEmpty()                                ? QStringLiteral("Kept in queue %1 for %2")
                                                                    : QStringLiteral("Failed to deliver %1 to %2");
    const int code = record.posted() ? record.post->outcome.code : record.outcome.code;
    const int http = record.posted() ? record.post->httpStatus : 0;
    // The server's own status beside a code of the program's, when the two differ (a 429 is 27).
    const QString status = http != 0 && http != code ? QStringLiteral("%1 (HTTP %2)").arg(code).arg(http) : QString::number(code);
    return what.arg(record.eventId, shown) + QStringLiteral(": %1 in %2 s").arg(status, seconds(elapsedMs));
}

QString ofResend(const QString& queueDir, const ResendRecord& record, qint64 elapsedMs)
{
    using Fate = ResendRecord::Event::Fate;
    return QStringLiteral("Resent from %1: %2 delivered, %3 kept, %4 failed, %5 dropped, %6 waiting in %7 s")
        .arg(queueDir)
        .arg(record.count(Fate::Delivered))
        .arg(record.count(Fate::Kept))
        .arg(record.count(Fate::Failed))
        .arg(record.count(Fate::Dropped))
        .arg(record.count(Fate::Waiting))
        .arg(seconds(elapsedMs));
}

}
