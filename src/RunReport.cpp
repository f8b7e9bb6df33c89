#include "RunReport.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

#include <iostream>

#include "UrlDisplay.h"
#include "console.h"

namespace RunReport {

void write(const QString& path, const QUrl& url, bool dryRun, const RunRecord& record, int exitCode,
           qint64 elapsedMs)
{
    const QJsonObject report{
        {QStringLiteral("eventId"), record.eventId},
        {QStringLiteral("url"), UrlDisplay::text(url)},
        {QStringLiteral("finalUrl"), record.posted ? QJsonValue(UrlDisplay::text(record.exchange.finalUrl)) : QJsonValue()},
        {QStringLiteral("statusCode"), record.posted ? QJsonValue(record.statusCode) : QJsonValue()},
        {QStringLiteral("exitCode"), exitCode},
        {QStringLiteral("errorString"), record.errorString},
        {QStringLiteral("attempts"), record.attempts},
        {QStringLiteral("redirects"), record.exchange.redirects},
        {QStringLiteral("archivePath"), record.archivePath},
        {QStringLiteral("archiveBytes"), record.archiveBytes >= 0 ? QJsonValue(double(record.archiveBytes)) : QJsonValue()},
        {QStringLiteral("bytesSent"), double(record.exchange.bytesSent)},
        {QStringLiteral("proxy"), record.exchange.proxy.isEmpty() ? QJsonValue() : QJsonValue(record.exchange.proxy)},
        {QStringLiteral("elapsedMs"), double(elapsedMs)},
        {QStringLiteral("dryRun"), dryRun},
        {QStringLiteral("interrupted"), record.interrupted},
        // Each byte one character: the body is shown as it came, whatever its encoding.
        {QStringLiteral("responseBody"), record.posted ? QJsonValue(QString::fromLatin1(record.exchange.responseBody)) : QJsonValue()},
        {QStringLiteral("responseContentType"),
         record.posted && !record.exchange.responseContentType.isNull()
             ? QJsonValue(QString::fromLatin1(record.exchange.responseContentType)) : QJsonValue()},
    };
    // Written whole or not at all, so a reader never sees half a report.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(QJsonDocument(report).toJson()) < 0 || !file.commit())
        std::cerr << "Fail to write report " << toConsole(path) << ": " << toConsole(file.errorString()) << std::endl;
}

}
