#include <QtTest>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "parser_run.h"
#include "queue/EventQueue.h"
#include "queue/Keeping.h"
#include "queue_entries.h"

namespace {

int mode(const QString& path)
{
    struct stat info {};
    ::stat(QFile::encodeName(path).constData(), &info);
    return int(info.st_mode & 07777);
}

// A stand-in archive of 100,000 bytes in scratch; empty when it cannot be written.
QString archiveIn(const QTemporaryDir& scratch)
{
    const QString path = scratch.filePath(QStringLiteral("a.zip"));
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(QByteArray(100000, 'z')) == 100000 ? path : QString();
}

QByteArray contents(const QString& path)
{
    QFile file(path);
    file.open(QIODevice::ReadOnly);
    return file.readAll();
}

}

class TestQueue : public QObject {
    Q_OBJECT
private slots:
    void writeThenRead()
    {
        QTemporaryDir scratch;
        const QString archive = archiveIn(scratch);
        QVERIFY(!archive.isEmpty());
        const QString dir = scratch.filePath(QStringLiteral("spool/q"));
        EventQueue queue(dir);
        QString why;
        QVERIFY(queue.open(true, why) == EventQueue::Opened::Ok);
        const QueueEntry written = makeEntry(QStringLiteral("id-1"), archive, 0);
        QString path;
        QStringList dropped;
        QVERIFY2(queue.add(written, path, dropped, why), qPrintable(why));
        const QString name = QFileInfo(path).fileName();
        QCOMPARE(queue.entries(), QStringList{name});
        QVERIFY(dropped.isEmpty());
        // entry.json and the two bodies, whatever the number of variables.
        QCOMPARE(QDir(path).entryList(QDir::Files), (QStringList{QStringLiteral("entry.json"), QStringLiteral("part-0"), QStringLiteral("part-1")}));

        EventQueue::Kept kept;
        QVERIFY2(queue.read(name, kept, why), qPrintable(why));
        const QueueEntry& read = kept.entry;
        QCOMPARE(read.eventId, written.eventId);
        QCOMPARE(read.url, written.url);  // the password too: the resend needs it
        QCOMPARE(read.created, written.created);
        QCOMPARE(read.attempts, 2);
        QCOMPARE(read.lastStatus, 503);
        QCOMPARE(read.lastError, written.lastError);
        QCOMPARE(read.parts.size(), 3);
        for (int i = 0; i < 3; ++i) {
            const FormPart& a = written.parts.at(i);
            const FormPart& b = read.parts.at(i);
            QCOMPARE(b.name, a.name);
            QCOMPARE(b.fileName, a.fileName);
            QCOMPARE(b.contentType, a.contentType);
            QCOMPARE(b.bodyDevice ? b.bodyDevice->readAll() : b.body, a.bodyFile.isEmpty() ? a.body : contents(a.bodyFile));
        }
        // The archive is copied, not linked: emptying the work copy leaves the kept one whole.
        struct stat info {};
        ::stat(QFile::encodeName(archive).constData(), &info);
        QCOMPARE(int(info.st_nlink), 1);
        QCOMPARE(mode(path + QStringLiteral("/part-1")), 0600);
        QCOMPARE(mode(dir), 0700);
        QCOMPARE(mode(path), 0700);

        kept.entry.recordOutcome(1, 413, QString(5000, QLatin1Char('e')));
        QVERIFY(EventQueue::update(kept, why));
        EventQueue::Kept again;
        QVERIFY(queue.read(name, again, why));
        QCOMPARE(again.entry.attempts + again.entry.lastStatus, 416);
        QCOMPARE(again.entry.lastError.size(), 1024);
        QVERIFY(queue.moveToFailed(name, why));
        QVERIFY(queue.entries().isEmpty());
        QVERIFY(QFileInfo(dir + QStringLiteral("/failed/") + name + QStringLiteral("/part-1")).isFile());
    }

    void limits_data()
    {
        QTest::addColumn<int>("maxEvents");
        QTest::addColumn<qint64>("maxBytes");
        QTest::addColumn<QStringList>("kept");   // event ids left after adding id-1, id-2, id-3 (oldest first)
        QTest::addColumn<int>("refused");        // how many adds failed
        auto ids = [](const char* list) { return QString::fromLatin1(list).split(QLatin1Char(','), Qt::SkipEmptyParts); };
        QTest::newRow("room for all") << 10 << qint64(1) << ids("id-1,id-2,id-3") << 0;
        QTest::newRow("two events") << 2 << qint64(1) << ids("id-2,id-3") << 0;
        QTest::newRow("bytes for one") << 10 << qint64(150000) << ids("id-3") << 0;
        QTest::newRow("event too big") << 10 << qint64(50000) << ids("") << 3;
    }
    void limits()
    {
        QFETCH(int, maxEvents);
        QFETCH(qint64, maxBytes);
        QFETCH(QStringList, kept);
        QFETCH(int, refused);
        QTemporaryDir scratch;
        const QString archive = archiveIn(scratch);
        QVERIFY(!archive.isEmpty());
        EventQueue queue(scratch.filePath(QStringLiteral("q")), {maxEvents, maxBytes > 1 ? maxBytes : qint64(1) << 30});
        QString why;
        QVERIFY(queue.open(true, why) == EventQueue::Opened::Ok);
        int failures = 0;
        for (int i = 1; i <= 3; ++i) {
            QString path;
            QStringList dropped;
            if (!queue.add(makeEntry(QStringLiteral("id-%1").arg(i), archive, 10 - i), path, dropped, why))
                ++failures;
        }
        QStringList ids;
        for (const QString& name : queue.entries())
            ids.append(name.section(QLatin1Char('-'), -2));
        QCOMPARE(ids, kept);
        QCOMPARE(failures, refused);
        QCOMPARE(QDir(scratch.filePath(QStringLiteral("q"))).entryList(QDir::Hidden | QDir::Dirs | QDir::NoDotAndDotDot).filter(
                     QStringLiteral(".tmp-")),
                 QStringList());
    }

    // An earlier count of the same folder stands for the entries it found; one of another folder is ignored.
    void earlierSizes_data()
    {
        QTest::addColumn<bool>("given");
        QTest::addColumn<bool>("inflated");    // the count says the first entry takes a terabyte
        QTest::addColumn<bool>("sameFolder");
        QTest::addColumn<int>("dropped");      // by the second add, with room for two
        QTest::newRow("none") << false << false << true << 0;
        QTest::newRow("as counted") << true << false << true << 0;
        QTest::newRow("taken at its word") << true << true << true << 1;
        QTest::newRow("another folder's") << true << true << false << 0;
    }
    void earlierSizes()
    {
        QTemporaryDir scratch;
        const QString archive = archiveIn(scratch);
        QVERIFY(!archive.isEmpty());
        QFETCH(bool, given);
        QFETCH(bool, inflated);
        QFETCH(bool, sameFolder);
        EventQueue queue(scratch.filePath(QStringLiteral("q")), {10, 250000});
        QString why;
        QString path;
        QStringList dropped;
        QVERIFY(queue.open(true, why) == EventQueue::Opened::Ok);
        QVERIFY(queue.add(makeEntry(QStringLiteral("id-1"), archive, 9), path, dropped, why));
        QVERIFY(queue.sizes([] { return true; }).bytes.isEmpty());  // a count no longer wanted stops
        QueueSizes known = queue.sizes();
        const QString first = QFileInfo(path).fileName();
        QCOMPARE(known.bytes.keys(), QStringList{first});
        QVERIFY(known.bytes.value(first) > 100000);
        if (inflated)
            known.bytes[first] = qint64(1) << 40;
        if (!sameFolder)
            ++known.ino;
        QVERIFY(queue.add(makeEntry(QStringLiteral("id-2"), archive, 8), path, dropped, why, {},
                          given ? known : QueueSizes()));
        QTEST(int(dropped.size()), "dropped");
    }

    // Only a folder of the exact form add() makes, a minute old and held by no writer, is a leftover.
    void abandonedEntriesAreCleared_data()
    {
        QTest::addColumn<QByteArray>("name");
        QTest::addColumn<int>("ageSeconds");
        QTest::addColumn<bool>("locked");
        QTest::addColumn<bool>("cleared");
        QTest::newRow("dead writer") << QByteArray(".tmp-0123456789abcdef") << 120 << false << true;
        QTest::newRow("writer still at work") << QByteArray(".tmp-0123456789abcdef") << 120 << true << false;
        QTest::newRow("just made, not locked yet") << QByteArray(".tmp-0123456789abcdef") << 0 << false << false;
        QTest::newRow("not of the form") << QByteArray(".tmp-dead") << 120 << false << false;
        QTest::newRow("line feed") << QByteArray(".tmp-\n") << 120 << false << false;
        QTest::newRow("bytes") << QByteArray(".tmp-\xff\xfe") << 120 << false << false;
        QTest::newRow("one digit more") << QByteArray(".tmp-0123456789abcdef0") << 120 << false << false;
        QTest::newRow("upper case") << QByteArray(".tmp-0123456789ABCDEF") << 120 << false << false;
    }
    void abandonedEntriesAreCleared()
    {
        QFETCH(QByteArray, name);
        QFETCH(int, ageSeconds);
        QFETCH(bool, locked);
        QTemporaryDir scratch;
        const QByteArray dir = QFile::encodeName(scratch.filePath(QStringLiteral("q")));
        const QByteArray leftover = dir + '/' + name;
        QVERIFY(::mkdir(dir.constData(), 0700) == 0 && ::mkdir(leftover.constData(), 0700) == 0);
        QFile(QFile::decodeName(leftover + "/part-0")).open(QIODevice::WriteOnly);
        const timespec aged[2] = {{::time(nullptr) - ageSeconds, 0}, {::time(nullptr) - ageSeconds, 0}};
        QVERIFY(::utimensat(AT_FDCWD, leftover.constData(), aged, 0) == 0);
        const int held = ::open(leftover.constData(), O_RDONLY | O_DIRECTORY);
        QVERIFY(held >= 0 && (!locked || ::flock(held, LOCK_EX) == 0));
        EventQueue queue(QFile::decodeName(dir));
        QString path;
        QString why;
        QStringList dropped;
        QVERIFY(queue.open(true, why) == EventQueue::Opened::Ok);
        QVERIFY(queue.add(makeEntry(QStringLiteral("id-1"), QString(), 0), path, dropped, why));
        ::close(held);
        struct stat info {};
        QTEST(::lstat(leftover.constData(), &info) != 0, "cleared");
        QCOMPARE(queue.entries(), QStringList{QFileInfo(path).fileName()});  // no half entry is ever listed
    }

    // An entry is put off by at most its own wait; a next time further ahead was set by a
    // clock that has gone back since, and is due now rather than parked until the entry expires.
    void dueAfterItsWait_data()
    {
        QTest::addColumn<qint64>("aheadSeconds");  // the next attempt, from now
        QTest::addColumn<bool>("due");
        QTest::newRow("none") << qint64(0) << true;
        QTest::newRow("passed") << qint64(-1) << true;
        QTest::newRow("within its wait") << qint64(7200) << false;
        QTest::newRow("at its wait") << qint64(4 * 3600) << false;
        QTest::newRow("past its wait") << qint64(4 * 3600 + 1) << true;
        QTest::newRow("two days") << qint64(2 * 86400) << true;
        QTest::newRow("ten years") << qint64(3650) * 86400 << true;
        QTest::newRow("year 9999") << QDateTime::currentDateTimeUtc().secsTo(QDateTime(QDate(9999, 12, 31), QTime(0, 0), Qt::UTC)) << true;
    }
    void dueAfterItsWait()
    {
        QFETCH(qint64, aheadSeconds);
        const QDateTime now = QDateTime::currentDateTimeUtc();
        QueueEntry entry;
        entry.backoffSeconds = 4 * 3600;
        if (aheadSeconds != 0)
            entry.nextAttempt = now.addSecs(aheadSeconds);
        QTEST(entry.isDue(now), "due");
    }

    // The keep step: an event kept, with the survey taken beforehand; the oldest dropped at the limit.
    void keepingAnEvent()
    {
        QTemporaryDir scratch;
        const QString dir = scratch.filePath(QStringLiteral("q"));
        const QueueEntry entry = makeEntry(QStringLiteral("id-1"), archiveIn(scratch), 0);
        QueueLimits oneEvent;
        oneEvent.maxEvents = 1;
        QStringList paths;
        const ResumableUpload upload{"boundary_.oOo._x", {QUrl(QStringLiteral("https://c.test/files/7")), 300, 4096, true}};
        for (const char* id : {"id-1", "id-2"}) {
            Keeping::Survey survey(dir);
            const Keeping::Event event{QLatin1String(id), entry.url, entry.parts, 2,
                                       Outcome::answer(503, QStringLiteral("busy")), true, upload};
            QString queuedAt;
            std::optional<Outcome> stopped;
            const std::string printed
                = captureOutput([&] { stopped = Keeping::keep(dir, oneEvent, event, queuedAt, &survey); });
            QVERIFY(!stopped);
            QVERIFY2(printed.find("Kept in queue: " + queuedAt.toStdString() + "\n") != std::string::npos, printed.c_str());
            QCOMPARE(printed.find("Dropped from queue: ") != std::string::npos, !paths.isEmpty());
            paths.append(queuedAt);
        }
        EventQueue queue(dir);
        QString why;
        QVERIFY(queue.open(false, why) == EventQueue::Opened::Ok);
        QCOMPARE(queue.entries(), QStringList{QFileInfo(paths.last()).fileName()});
        EventQueue::Kept kept;
        QVERIFY2(queue.read(queue.entries().constFirst(), kept, why), qPrintable(why));
        QCOMPARE((QList<int>{kept.entry.attempts, kept.entry.lastStatus, int(kept.entry.hashParts)}), (QList<int>{2, 503, 1}));
        // A resumable upload goes on from where it stood, with the same body.
        QVERIFY(kept.entry.upload);
        const TusProgress& progress = kept.entry.upload->progress;
        QCOMPARE(kept.entry.upload->boundary, upload.boundary);
        QCOMPARE((QList<QVariant>{progress.url, progress.confirmed, progress.sent, progress.startedOver}),
                 (QList<QVariant>{upload.progress.url, qint64(300), qint64(4096), true}));
        // A folder that cannot be used keeps nothing, and says so.
        const std::string refused = captureOutput([&] {
            QString queuedAt;
            Keeping::keep(QStringLiteral("/proc/none"), oneEvent, {QStringLiteral("id-3"), entry.url, entry.parts, 1, Outcome::done(), false, std::nullopt},
                          queuedAt);
        });
        QVERIFY2(refused.find("Fail to queue in /proc/none: ") == 0, refused.c_str());
    }

    void descriptionIsReadStrictly_data()
    {
        QTest::addColumn<QByteArray>("field");  // a key of the description, parts/N/key or upload/key
        QTest::addColumn<QJsonValue>("value");
        QTest::addColumn<QString>("why");       // empty: still accepted
        QTest::newRow("as written") << QByteArray("attempts") << QJsonValue(2) << QString();
        QTest::newRow("attempts past the bound") << QByteArray("attempts") << QJsonValue(2147483647.0) << QStringLiteral("a bad attempt count");
        QTest::newRow("attempts negative") << QByteArray("attempts") << QJsonValue(-1) << QStringLiteral("a bad attempt count");
        QTest::newRow("attempts not whole") << QByteArray("attempts") << QJsonValue(1.5) << QStringLiteral("a bad attempt count");
        QTest::newRow("status") << QByteArray("lastStatus") << QJsonValue(100000) << QStringLiteral("a bad last status");
        QTest::newRow("long error") << QByteArray("lastError") << QJsonValue(QString(1025, QLatin1Char('e'))) << QStringLiteral("a bad last error");
        QTest::newRow("other event id") << QByteArray("eventId") << QJsonValue(QStringLiteral("id-2")) << QStringLiteral("a bad event id");
        QTest::newRow("id with control") << QByteArray("eventId") << QJsonValue(QStringLiteral("id-1\nFAKE")) << QStringLiteral("a bad event id");
        QTest::newRow("file url") << QByteArray("url") << QJsonValue(QStringLiteral("file:///etc/shadow")) << QStringLiteral("a bad url");
        QTest::newRow("next attempt alone") << QByteArray("nextAttempt") << QJsonValue(QStringLiteral("2026-12-09T10:00:00.000Z")) << QStringLiteral("a bad next attempt");
        QTest::newRow("back-off past a day") << QByteArray("backoffSeconds") << QJsonValue(90000) << QStringLiteral("a bad next attempt");
        QTest::newRow("no failed mark") << QByteArray("failed") << QJsonValue() << QStringLiteral("a bad failed mark");
        QTest::newRow("format 1") << QByteArray("format") << QJsonValue(1) << QStringLiteral("not an entry of this program's format");
        QTest::newRow("name with CR LF") << QByteArray("parts/2/name") << QJsonValue(QStringLiteral("a\r\nX: y")) << QStringLiteral("part 2 has a bad name, file name or type");
        QTest::newRow("name with \\x01") << QByteArray("parts/2/name") << QJsonValue(QStringLiteral("\x01")) << QStringLiteral("part 2 has a bad name, file name or type");
        // What the command line takes is read back: an empty name, a quote.
        QTest::newRow("empty name") << QByteArray("parts/2/name") << QJsonValue(QString()) << QString();
        QTest::newRow("quote in a file name") << QByteArray("parts/0/fileName") << QJsonValue(QStringLiteral("a\".json")) << QString();
        QTest::newRow("body outside") << QByteArray("parts/1/body") << QJsonValue(QStringLiteral("../../etc/shadow")) << QStringLiteral("part 1 has a bad body file, size or sha256");
        QTest::newRow("body of another part") << QByteArray("parts/1/body") << QJsonValue(QStringLiteral("part-0")) << QStringLiteral("part 1 has a bad body file, size or sha256");
        // A resumable upload's state: the same body's boundary, offsets that can be true.
        QTest::newRow("upload as written") << QByteArray("upload/sent") << QJsonValue(20) << QString();
        QTest::newRow("upload sent before it was made") << QByteArray("upload/url") << QJsonValue() << QStringLiteral("a bad upload");
        QTest::newRow("upload confirmed past sent") << QByteArray("upload/confirmed") << QJsonValue(21) << QStringLiteral("a bad upload");
        QTest::newRow("upload sent negative") << QByteArray("upload/sent") << QJsonValue(-1) << QStringLiteral("a bad upload");
        QTest::newRow("upload boundary with CR LF") << QByteArray("upload/boundary") << QJsonValue(QStringLiteral("b\r\nX: y")) << QStringLiteral("a bad upload");
        QTest::newRow("upload boundary of 71") << QByteArray("upload/boundary") << QJsonValue(QString(71, QLatin1Char('b'))) << QStringLiteral("a bad upload");
        QTest::newRow("upload boundary quoted") << QByteArray("upload/boundary") << QJsonValue(QStringLiteral("b\"")) << QStringLiteral("a bad upload");
        QTest::newRow("upload to a file") << QByteArray("upload/url") << QJsonValue(QStringLiteral("file:///etc/shadow")) << QStringLiteral("a bad upload");
        QTest::newRow("upload in the old format") << QByteArray("upload/format") << QJsonValue(2) << QStringLiteral("a bad upload");
        QTest::newRow("no upload in its format") << QByteArray("upload") << QJsonValue() << QStringLiteral("a bad upload");
        QTest::newRow("variable with a file") << QByteArray("parts/2/fileName") << QJsonValue(QStringLiteral("x")) << QStringLiteral("part 2 has a bad body file, size or sha256");
    }
    void descriptionIsReadStrictly()
    {
        QFETCH(QByteArray, field);
        QFETCH(QJsonValue, value);
        QFETCH(QString, why);
        QueueEntry entry = makeEntry(QStringLiteral("id-1"), QString(), 0);
        entry.bodies = {{0, 5, QByteArray(64, 'a')}, {1, 7, QByteArray(64, 'b')}};
        const QList<QByteArray> path = field.split('/');
        if (path.constFirst() == "upload")
            entry.upload = ResumableUpload{"boundary_.oOo._x", {QUrl(QStringLiteral("https://c.test/files/7")), 10, 20, false}};
        QJsonObject object = QJsonDocument::fromJson(entry.toJson()).object();
        if (path.size() == 2 && path.at(1) == "format") {
            object.insert(QStringLiteral("format"), value);
        } else if (path.size() == 2) {
            QJsonObject upload = object.value(QStringLiteral("upload")).toObject();
            if (value.isUndefined() || value.isNull())
                upload.remove(QString::fromLatin1(path.at(1)));
            else
                upload.insert(QString::fromLatin1(path.at(1)), value);
            object.insert(QStringLiteral("upload"), upload);
        } else if (path.size() == 3) {
            QJsonArray parts = object.value(QStringLiteral("parts")).toArray();
            QJsonObject part = parts.at(path.at(1).toInt()).toObject();
            part.insert(QString::fromLatin1(path.at(2)), value);
            parts.replace(path.at(1).toInt(), part);
            object.insert(QStringLiteral("parts"), parts);
        } else if (value.isUndefined() || value.isNull()) {
            object.remove(QString::fromLatin1(field));
        } else {
            object.insert(QString::fromLatin1(field), value);
        }
        QueueEntry read;
        QString reason;
        const bool accepted = QueueEntry::fromJson(QJsonDocument(object).toJson(), QueueEntry::folderName(entry.created, entry.eventId), read, reason);
        QCOMPARE(reason, why);
        QCOMPARE(accepted, why.isEmpty());
    }
};

QTEST_APPLESS_MAIN(TestQueue)
#include "tst_queue.moc"
