#include <QtTest>

#include <csignal>

#include "report/RunReport.h"
#include "report/Summary.h"
#include "support/FileTarget.h"

namespace {

RunRecord posted(const Outcome& delivery, int httpStatus, const Outcome& outcome)
{
    RunRecord record;
    record.eventId = QStringLiteral("e1");
    record.archivePath = QStringLiteral("w/e1.zip");
    record.archiveBytes = 1000;
    record.attempts = 2;
    record.outcome = outcome;
    PostResult post;
    post.outcome = delivery;
    post.finalUrl = QUrl(QStringLiteral("https://u:pw@collector/b"));
    post.redirects = 1;
    post.bytesSent = 1200;
    post.httpStatus = httpStatus;
    post.responseBody = R"({"id":"e1"})";
    record.post = post;
    return record;
}

// The report a record comes to, written through a real target in a scratch folder.
QJsonObject reportOf(const std::function<bool(const FileTarget&)>& write)
{
    QTemporaryDir scratch;
    FileTarget target;
    QString why;
    if (!target.open(scratch.filePath(QStringLiteral("r.json")), why) || !write(target))
        return {};
    QFile file(scratch.filePath(QStringLiteral("r.json")));
    file.open(QIODevice::ReadOnly);
    return QJsonDocument::fromJson(file.readAll()).object();
}

}

Q_DECLARE_METATYPE(RunRecord)

class TestReport : public QObject {
    Q_OBJECT
private slots:
    // What a resend did with each event, in the report and in the last line.
    void resend()
    {
        using Fate = ResendRecord::Event::Fate;
        ResendRecord record;
        const QDateTime later(QDate(2026, 12, 10), QTime(1, 0), Qt::UTC);
        record.events = {{QStringLiteral("a"), Fate::Delivered, Outcome::answer(200, QString()), 200, 3, QDateTime()},
                         {QStringLiteral("b"), Fate::Kept, Outcome::answer(503, QStringLiteral("busy")), 503, 4, later},
                         {QStringLiteral("c"), Fate::Waiting, Outcome::answer(503, QString()), 0, 4, later},
                         {QStringLiteral("d"), Fate::Failed, Outcome::answer(400, QStringLiteral("bad")), 400, 1, QDateTime()}};
        record.errorString = QStringLiteral("bad");
        QCOMPARE(Summary::ofResend(QStringLiteral("q"), record, 2000),
                 QStringLiteral("Resent from q: 1 delivered, 1 kept, 1 failed, 0 dropped, 1 waiting in 2.0 s"));
        const QJsonObject report
            = reportOf([&](const FileTarget& target) { return RunReport::writeResend(target, QStringLiteral("q"), record, 400, 2000); });
        QCOMPARE(report.value(QStringLiteral("exitCode")).toInt(), 400);
        QCOMPARE(report.value(QStringLiteral("errorString")).toString(), QStringLiteral("bad"));
        const QJsonArray events = report.value(QStringLiteral("events")).toArray();
        QCOMPARE(events.size(), 4);
        QCOMPARE(events.at(1).toObject().value(QStringLiteral("outcome")).toString(), QStringLiteral("kept"));
        QCOMPARE(events.at(2).toObject().value(QStringLiteral("nextAttempt")).toString(), QStringLiteral("2026-12-10T01:00:00.000Z"));
        QVERIFY(events.at(0).toObject().value(QStringLiteral("nextAttempt")).isNull());
    }

    // What a run comes to, in the report and in the last line: the same code, the server's own status beside it.
    void run_data()
    {
        QTest::addColumn<RunRecord>("record");
        QTest::addColumn<QString>("summary");
        QTest::addColumn<QVariantList>("fields");  // statusCode, httpStatus, exitCode, errorString, interrupted, maxTimeReached
        QTest::newRow("delivered") << posted(Outcome::answer(200, QString()), 200, Outcome::done())
                                   << QStringLiteral("Delivered e1 to https://u@collector/b: 200 in 1.5 s")
                                   << QVariantList{200, 200, 0, QString(), false, false};
        QTest::newRow("an accepted 207") << posted(Outcome::answer(200, QString()), 207, Outcome::done())
                                         << QStringLiteral("Delivered e1 to https://u@collector/b: 200 (HTTP 207) in 1.5 s")
                                         << QVariantList{200, 207, 0, QString(), false, false};
        RunRecord kept = posted(Outcome::transport(27, QStringLiteral("server replied: Slow")), 429,
                                Outcome::transport(27, QStringLiteral("server replied: Slow")));
        kept.queuedAt = QStringLiteral("q/20261210T000000.000Z-e1");
        QTest::newRow("a 429 kept") << kept << QStringLiteral("Kept in queue e1 for https://u@collector/b: 27 (HTTP 429) in 1.5 s")
                                    << QVariantList{27, 429, 27, QStringLiteral("server replied: Slow"), false, false};
        QTest::newRow("interrupted") << posted(Outcome::interrupted(SIGTERM), 0, Outcome::interrupted(SIGTERM))
                                     << QStringLiteral("Failed to deliver e1 to https://u@collector/b: 143 in 1.5 s")
                                     << QVariantList{143, 0, 143, QStringLiteral("Interrupted by SIGTERM"), true, false};
        QTest::newRow("the deadline") << posted(Outcome::deadline(3), 0, Outcome::deadline(3))
                                      << QStringLiteral("Failed to deliver e1 to https://u@collector/b: 14 in 1.5 s")
                                      << QVariantList{14, 0, 14, QStringLiteral("Operation timed out after 3 s"), false, true};
        RunRecord archiveFailed;
        archiveFailed.eventId = QStringLiteral("e1");
        archiveFailed.outcome = Outcome::local(QStringLiteral("Failed to start 7z"));
        QTest::newRow("never posted") << archiveFailed << QStringLiteral("Failed to deliver e1 to https://u@collector/a: -1 in 1.5 s")
                                      << QVariantList{QVariant(), 0, -1, QStringLiteral("Failed to start 7z"), false, false};
    }
    void run()
    {
        QFETCH(RunRecord, record);
        QFETCH(QVariantList, fields);
        const QUrl url(QStringLiteral("https://u:pw@collector/a"));
        QTEST(Summary::ofRun(record, url, 1500), "summary");
        const QJsonObject report = reportOf([&](const FileTarget& target) { return RunReport::write(target, url, false, record, 1500); });
        const QStringList names{QStringLiteral("statusCode"), QStringLiteral("httpStatus"), QStringLiteral("exitCode"),
                                QStringLiteral("errorString"), QStringLiteral("interrupted"), QStringLiteral("maxTimeReached")};
        for (int i = 0; i < names.size(); ++i)  // an invalid field: null in the report
            QCOMPARE(report.value(names.at(i)), QJsonValue::fromVariant(fields.at(i)));
        // No password anywhere, the URLs included.
        QVERIFY(!QJsonDocument(report).toJson().contains("pw"));
        QCOMPARE(report.value(QStringLiteral("finalUrl")),
                 record.posted() ? QJsonValue(QStringLiteral("https://u@collector/b")) : QJsonValue());
    }
};

QTEST_APPLESS_MAIN(TestReport)
#include "tst_report.moc"
