#include "report/RunReport.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include "support/UrlDisplay.h"
#include "support/console.h"

namespace RunReport {

namespace {

// Written whole or not at all, so a reader never sees half a report.
bool save(const FileTarget& target, const QJsonObject& report)
{
    QString why;
    if (target.write(QJsonDocument(report).toJson(), why))
        return true;
    Console::err("Fail to write report " + toConsole(target.path()) + ": " + toConsole(why));
    return false;
}

}

bool write(const FileTarget& target, const QUrl& url, bool dryRun, const RunRecord& record, qint64 elapsedMs)
{
    const bool posted = record.posted();
    QJsonObject report{
        {QStringLiteral("eventId"), record.eventId},
        {QStringLiteral("url"), UrlDisplay::text(url)},
        {QStringLiteral("finalUrl"), posted ? QJsonValue(UrlDisplay::text(record.post->finalUrl)) : QJsonValue()},
        {QStringLiteral("statusCode"), posted ? QJsonValue(record.post->outcome.code) : QJsonValue()},
        // What the server said, when statusCode is a code of the program's own (a 429 is 27).
        {QStringLiteral("httpStatus"), posted ? record.post->httpStatus : 0},
        {QStringLiteral("exitCode"), record.outcome.code},
        {QStringLiteral("errorString"), record.errorString()},
        {QStringLiteral("attempts"), record.attempts},
        {QStringLiteral("redirects"), posted ? record.post->redirects : 0},
        {QStringLiteral("archivePath"), record.archivePath},
        {QStringLiteral("archiveBytes"), record.archiveBytes >= 0 ? QJsonValue(double(record.archiveBytes)) : QJsonValue()},
        {QStringLiteral("bytesSent"), posted ? double(record.post->bytesSent) : 0.0},
        {QStringLiteral("proxy"), !posted || record.post->proxy.isEmpty() ? QJsonValue() : QJsonValue(record.post->proxy)},
        {QStringLiteral("elapsedMs"), double(elapsedMs)},
        {QStringLiteral("dryRun"), dryRun},
        {QStringLiteral("interrupted"), record.interrupted()},
        {QStringLiteral("maxTimeReached"), record.maxTimeReached()},
        {QStringLiteral("queuedAt"), record.queuedAt.isEmpty() ? QJsonValue() : QJsonValue(record.queuedAt)},
        // Each byte one character: the body is shown as it came, whatever its encoding.
        {QStringLiteral("responseBody"), posted ? QJsonValue(QString::fromLatin1(record.post->responseBody)) : QJsonValue()},
        {QStringLiteral("responseContentType"),
         posted && !record.post->responseContentType.isNull()
             ? QJsonValue(QString::fromLatin1(record.post->responseContentType)) : QJsonValue()},
    };
    // A resumable upload's: where it is, and its body's size beside what was sent.
    if (posted && record.post->bodyBytes >= 0) {
        report.insert(QStringLiteral("uploadUrl"), record.post->uploadUrl.isEmpty()
                          ? QJsonValue() : QJsonValue(UrlDisplay::text(record.post->uploadUrl)));
        report.insert(QStringLiteral("bodyBytes"), double(record.post->bodyBytes));
    }
    return save(target, report);
}

bool writeResend(const FileTarget& target, const QString& queueDir, const ResendRecord& record, int exitCode,
                 qint64 elapsedMs)
{
    QJsonArray events;
    for (const ResendRecord::Event& event : record.events)
        events.append(QJsonObject{{QStringLiteral("eventId"), event.eventId},
                                  {QStringLiteral("outcome"), QLatin1String(ResendRecord::Event::fateName(event.fate))},
                                  {QStringLiteral("statusCode"), event.outcome.code},
                                  {QStringLiteral("httpStatus"), event.httpStatus},
                                  {QStringLiteral("errorString"), event.outcome.text},
                                  {QStringLiteral("attempts"), event.attempts},
                                  {QStringLiteral("nextAttempt"), event.nextAttempt.isValid()
                                       ? QJsonValue(event.nextAttempt.toUTC().toString(Qt::ISODateWithMs)) : QJsonValue()}});
    return save(target, QJsonObject{{QStringLiteral("resend"), queueDir},
                                    {QStringLiteral("exitCode"), exitCode},
                                    {QStringLiteral("errorString"), record.errorString},
                                    {QStringLiteral("interrupted"), record.interrupted()},
                                    {QStringLiteral("maxTimeReached"), record.maxTimeReached()},
                                    {QStringLiteral("elapsedMs"), double(elapsedMs)},
                                    {QStringLiteral("events"), events}});
}

}
