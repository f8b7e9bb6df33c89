#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

#include "EventQueue.h"

namespace {

int mode(const QString& path)
{
    struct stat info {};
    ::stat(QFile::encodeName(path).constData(), &info);
    return int(info.st_mode & 07777);
}

EventQueue::Entry makeEntry(const QString& id, const QString& archive, int minutesAgo)
{
    EventQueue::Entry entry;
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
        const QString archive = scratch.filePath(QStringLiteral("a.zip"));
        QFile zip(archive);
        QVERIFY(zip.open(QIODevice::WriteOnly) && zip.write(QByteArray(100000, 'z')) == 100000);
        zip.close();
        const QString dir = scratch.filePath(QStringLiteral("spool/q"));
        const EventQueue queue(dir);
        const EventQueue::Entry written = makeEntry(QStringLiteral("id-1"), archive, 0);
        QString path;
        QString why;
        QStringList dropped;
        QVERIFY2(queue.add(written, path, dropped, why), qPrintable(why));
        QCOMPARE(queue.entries(), QStringList{path});
        QVERIFY(dropped.isEmpty());

        EventQueue::Entry read;
        QVERIFY2(EventQueue::read(path, read, why), qPrintable(why));
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
            QCOMPARE(contents(b.bodyFile), a.bodyFile.isEmpty() ? a.body : contents(a.bodyFile));
            QCOMPARE(mode(b.bodyFile), 0600);
        }
        // The archive is linked, not copied, on the same file system.
        QCOMPARE(QFileInfo(read.parts.at(1).bodyFile).size(), qint64(100000));
        struct stat info {};
        ::stat(QFile::encodeName(archive).constData(), &info);
        QCOMPARE(int(info.st_nlink), 2);
        QCOMPARE(mode(dir), 0700);
        QCOMPARE(mode(path), 0700);

        read.attempts = 3;
        read.lastStatus = 413;
        QVERIFY(EventQueue::update(read));
        EventQueue::Entry again;
        QVERIFY(EventQueue::read(path, again, why));
        QCOMPARE(again.attempts + again.lastStatus, 416);
        QVERIFY(queue.moveToFailed(path));
        QVERIFY(queue.entries().isEmpty());
        QVERIFY(QFileInfo(dir + QStringLiteral("/failed/") + QFileInfo(path).fileName() + QStringLiteral("/part-1")).isFile());
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
        const QString archive = scratch.filePath(QStringLiteral("a.zip"));
        QFile zip(archive);
        QVERIFY(zip.open(QIODevice::WriteOnly) && zip.write(QByteArray(100000, 'z')) == 100000);
        zip.close();
        const EventQueue queue(scratch.filePath(QStringLiteral("q")), {maxEvents, maxBytes > 1 ? maxBytes : qint64(1) << 30});
        int failures = 0;
        for (int i = 1; i <= 3; ++i) {
            QString path;
            QString why;
            QStringList dropped;
            if (!queue.add(makeEntry(QStringLiteral("id-%1").arg(i), archive, 10 - i), path, dropped, why))
                ++failures;
        }
        QStringList ids;
        for (const QString& path : queue.entries())
            ids.append(path.section(QLatin1Char('-'), -2));
        QCOMPARE(ids, kept);
        QCOMPARE(failures, refused);
        QCOMPARE(QDir(scratch.filePath(QStringLiteral("q"))).entryList(QDir::Hidden | QDir::Dirs | QDir::NoDotAndDotDot).filter(
                     QStringLiteral(".tmp-")),
                 QStringList());
    }

    void abandonedEntriesAreCleared()
    {
        QTemporaryDir scratch;
        const QString dir = scratch.filePath(QStringLiteral("q"));
        // A writer that died half way (no process has pid 2^22 + 1 here) and one that still runs.
        QVERIFY(QDir().mkpath(dir + QStringLiteral("/.tmp-4194305-dead/")));
        const QString alive = QStringLiteral("/.tmp-%1-live").arg(::getpid());
        QVERIFY(QDir().mkpath(dir + alive));
        QString path;
        QString why;
        QStringList dropped;
        QVERIFY(EventQueue(dir).add(makeEntry(QStringLiteral("id-1"), QString(), 0), path, dropped, why));
        QVERIFY(!QFileInfo::exists(dir + QStringLiteral("/.tmp-4194305-dead")));
        QVERIFY(QFileInfo::exists(dir + alive));
        QCOMPARE(EventQueue(dir).entries(), QStringList{path});  // no half entry is ever listed
    }
};

QTEST_APPLESS_MAIN(TestQueue)
#include "tst_queue.moc"
