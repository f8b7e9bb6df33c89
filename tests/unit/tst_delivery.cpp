#include <QtTest>

#include <csignal>
#include <deque>

#include "deliver/Delivery.h"
#include "form/FormBody.h"
#include "queue/EventQueue.h"
#include "Resend.h"
#include "parser_run.h"
#include "queue_entries.h"
#include "support/Interruption.h"

namespace {

// One scripted answer: the outcome, and the HTTP status and Retry-After behind it.
struct Step {
    Outcome outcome;
    int httpStatus = 0;
    QByteArray retryAfter = "0";  // no real wait between attempts
};

Step status(int code, QByteArray retryAfter = "0")
{
    return {Outcome::answer(code, QStringLiteral("status %1").arg(code)), code, std::move(retryAfter)};
}

Step transport(int code)
{
    return {Outcome::transport(code, QStringLiteral("transport %1").arg(code)), 0, "0"};
}

// Plays its script, one step per post; a step may first wait out the deadline
// or raise a signal, as a real post would meet them.
class ScriptedPoster : public Poster {
public:
    enum class Then { Answer, WaitForDeadline, RaiseSigterm, AnswerThenRaiseSigterm };

    explicit ScriptedPoster(const QList<Step>& script, Then then = Then::Answer)
        : script(script.begin(), script.end())
        , then(then)
    {
    }

    PostResult post(const QUrl& url, const QList<QHttpPart>& parts, const QList<QIODevice*>& /*bodyDevices*/,
                    const QList<RequestHeaders::Header>& eventHeaders, QDeadlineTimer deadline) override
    {
        urls.append(url);
        headers.append(eventHeaders);
        partCounts.append(parts.size());
        if (upload) {
            upload->progress.confirmed += moved;
            upload->progress.sent += moved;
        }
        if (then == Then::WaitForDeadline) {
            QTest::qWait(int(deadline.remainingTime()) + 50);
            return {Outcome::deadline(1)};
        }
        if (then == Then::RaiseSigterm) {
            std::raise(SIGTERM);
            return {Outcome::interrupted(SIGTERM)};
        }
        if (then == Then::AnswerThenRaiseSigterm)  // the signal comes once the event is in, before the next
            std::raise(SIGTERM);
        if (meanwhile)
            meanwhile();
        const Step step = script.empty() ? status(200) : script.front();
        if (!script.empty())
            script.pop_front();
        PostResult result;
        result.outcome = step.outcome;
        result.finalUrl = url;
        result.httpStatus = step.httpStatus;
        result.retryAfter = step.retryAfter;
        return result;
    }

    // A resumable upload: each post takes it on by moved bytes.
    void setResumable(const QList<FormPart>& /*form*/, const QByteArray& /*eventId*/,
                      const std::optional<ResumableUpload>& given) override
    {
        upload = given;
    }
    std::optional<ResumableUpload> resumable() const override { return upload; }

    std::deque<Step> script;
    Then then;
    std::optional<ResumableUpload> upload;
    qint64 moved = 0;
    std::function<void()> meanwhile;  // what another process does while the post is under way
    QList<QUrl> urls;
    QList<int> partCounts;
    QList<QList<RequestHeaders::Header>> headers;  // of each post
};

TransportOptions withRetry(int retry, int maxTime = 0)
{
    TransportOptions options;
    options.retry = retry;
    options.maxTime = maxTime;
    return options;
}

// A queue of three events in a fresh folder, oldest first.
QStringList fillQueue(const QString& dir)
{
    EventQueue queue(dir);
    QString why;
    if (queue.open(true, why) != EventQueue::Opened::Ok)
        return {};
    QStringList ids;
    for (int i = 1; i <= 3; ++i) {
        QString path;
        QStringList dropped;
        const QString id = QStringLiteral("0000000%1-0000-0000-0").arg(i);
        if (!queue.add(makeEntry(id, QString(), 10 - i), path, dropped, why))
            return {};
        ids.append(id);
    }
    return ids;
}

// Three events queued in a fresh folder, and the queue as another process sees it.
struct FilledQueue {
    QTemporaryDir scratch;
    QString dir = scratch.filePath(QStringLiteral("queue"));
    QStringList ids = fillQueue(dir);
    EventQueue queue{dir};

    bool ready()
    {
        QString why;
        return ids.size() == 3 && queue.open(false, why) == EventQueue::Opened::Ok;
    }
};

// One resend of dir through poster: its exit code; what it printed goes to printed.
int resend(const QString& dir, Poster& poster, const TransportOptions& options, ResendRecord& record,
           std::string* printed = nullptr)
{
    int exitCode = -2;
    const std::string output = captureOutput(
        [&] { exitCode = Resend::run(dir, options, [&]() -> Poster& { return poster; }, nullptr, record); });
    if (printed)
        *printed = output;
    return exitCode;
}

QStringList outcomes(const ResendRecord& record)
{
    QStringList list;
    for (const ResendRecord::Event& event : record.events)
        list.append(event.eventId.left(8) + QLatin1Char(' ') + QLatin1String(ResendRecord::Event::fateName(event.fate)) + QLatin1Char(' ')
                    + QString::number(event.outcome.code));
    return list;
}

}

Q_DECLARE_METATYPE(Step)
Q_DECLARE_METATYPE(QList<Step>)
Q_DECLARE_METATYPE(Delivery::Verdict)
Q_DECLARE_METATYPE(ScriptedPoster::Then)

class TestDelivery : public QObject {
    Q_OBJECT
private slots:
    void attempts_data()
    {
        QTest::addColumn<int>("retry");
        QTest::addColumn<QList<Step>>("script");
        QTest::addColumn<int>("attempts");
        QTest::addColumn<int>("code");
        QTest::addColumn<Delivery::Verdict>("verdict");
        using V = Delivery::Verdict;
        QTest::newRow("503, 503, 200") << 2 << QList<Step>{status(503), status(503), status(200)} << 3 << 200 << V::Delivered;
        QTest::newRow("503 past the retries") << 2 << QList<Step>{status(503), status(503), status(503)} << 3 << 503 << V::Keep;
        QTest::newRow("503 without --retry") << 0 << QList<Step>{status(503), status(200)} << 1 << 503 << V::Keep;
        QTest::newRow("400 is not tried again") << 5 << QList<Step>{status(400), status(200)} << 1 << 400 << V::Refused;
        QTest::newRow("413 refused") << 5 << QList<Step>{status(413)} << 1 << 413 << V::Refused;
        QTest::newRow("refused connection, then 200") << 1 << QList<Step>{transport(11), status(200)} << 2 << 200 << V::Delivered;
        // Faults of the set-up say nothing about the event: not tried again, and kept as they were.
        QTest::newRow("TLS failure: the set-up's") << 3 << QList<Step>{transport(15)} << 1 << 15 << V::OwnFault;
        QTest::newRow("proxy refuses the credentials") << 3 << QList<Step>{status(407)} << 1 << 407 << V::OwnFault;
        QTest::newRow("tunnel's proxy refuses them") << 3 << QList<Step>{transport(21)} << 1 << 21 << V::OwnFault;
        // 429 has no code of its own: the HTTP status behind code 27 decides.
        QTest::newRow("429 behind 27") << 0 << QList<Step>{{Outcome::transport(27, QStringLiteral("x")), 429, "0"}} << 1 << 27 << V::Keep;
        QTest::newRow("the body shrank") << 3 << QList<Step>{{Outcome::local(QStringLiteral("shrank")), 0, "0"}} << 1 << -1 << V::Refused;
        QTest::newRow("interrupted: no retry, kept") << 3 << QList<Step>{{Outcome::interrupted(SIGINT), 0, "0"}, status(200)} << 1 << 130 << V::Keep;
        QTest::newRow("deadline: no retry, kept") << 3 << QList<Step>{{Outcome::deadline(5), 0, "0"}, status(200)} << 1 << 14 << V::Keep;
    }
    void attempts()
    {
        QFETCH(int, retry);
        QFETCH(QList<Step>, script);
        ScriptedPoster poster(script);
        Delivery delivery(poster, withRetry(retry), nullptr);
        const QUrl url(QStringLiteral("http://collector.test/submit"));
        const QList<RequestHeaders::Header> key{{"Idempotency-Key", "\"ID\""}};
        const Delivery::Result result = delivery.deliver(url, {FormPart(), FormPart()}, key);
        QTEST(result.attempts, "attempts");
        QTEST(result.post.outcome.code, "code");
        QTEST(result.verdict, "verdict");
        // Every attempt posts the very same form to the very same URL, with the same key.
        QCOMPARE(poster.urls, QVector<QUrl>(result.attempts, url).toList());
        QCOMPARE(poster.partCounts, QVector<int>(result.attempts, 2).toList());
        QCOMPARE(poster.headers, QVector<QList<RequestHeaders::Header>>(result.attempts, key).toList());
    }

    // Only 200 delivers, unless other 2xx statuses are accepted: by the server's own status,
    // which has no code of its own above 206.
    void acceptedStatuses_data()
    {
        QTest::addColumn<Step>("step");
        QTest::addColumn<QSet<int>>("accepted");
        QTest::addColumn<Delivery::Verdict>("verdict");
        using V = Delivery::Verdict;
        QTest::newRow("201 as the Part says") << status(201) << QSet<int>() << V::Refused;
        QTest::newRow("201 accepted") << status(201) << QSet<int>{201, 202} << V::Delivered;
        QTest::newRow("207 behind code 6") << Step{Outcome::transport(6, QStringLiteral("x")), 207, "0"} << QSet<int>{207} << V::Delivered;
        QTest::newRow("503 is not accepted") << status(503) << QSet<int>{201} << V::Keep;
        QTest::newRow("a deadline never delivers") << Step{Outcome::deadline(1), 201, "0"} << QSet<int>{201} << V::Keep;
    }
    void acceptedStatuses()
    {
        QFETCH(Step, step);
        QFETCH(QSet<int>, accepted);
        PostResult post;
        post.outcome = step.outcome;
        post.httpStatus = step.httpStatus;
        QTEST(Delivery::verdict(post, accepted), "verdict");
    }

    // What a delivery comes to for a URL: an accepted status is a 200 everywhere; a URL that can
    // never work is never worth keeping, whatever its code.
    void verdictForTheUrl_data()
    {
        QTest::addColumn<QString>("url");
        QTest::addColumn<Step>("step");
        QTest::addColumn<int>("code");
        QTest::addColumn<Delivery::Verdict>("verdict");
        using V = Delivery::Verdict;
        const QString good = QStringLiteral("https://collector.test/submit");
        QTest::newRow("207 accepted is 200") << good << Step{Outcome::transport(6, QStringLiteral("x")), 207, "0"} << 200 << V::Delivered;
        QTest::newRow("no host") << QStringLiteral("http://") << transport(13) << 13 << V::Refused;
        QTest::newRow("another scheme") << QStringLiteral("ftp://x") << transport(23) << 23 << V::Refused;
        QTest::newRow("a typo of one") << QStringLiteral("htp://x") << transport(23) << 23 << V::Refused;
        QTest::newRow("own fault, no host") << QStringLiteral("http:///x") << transport(15) << 15 << V::Refused;
        QTest::newRow("http with a host") << QStringLiteral("HTTP://x/") << transport(13) << 13 << V::Keep;
    }
    void verdictForTheUrl()
    {
        QFETCH(QString, url);
        QFETCH(Step, step);
        ScriptedPoster poster({step});
        TransportOptions options;
        options.acceptStatus = {207};
        const Delivery::Result result = Delivery(poster, options, nullptr).deliver(QUrl(url), {});
        QTEST(result.post.outcome.code, "code");
        QTEST(result.verdict, "verdict");
    }

    // The wait before a retry ends with the deadline, and the run says so.
    void deadlineDuringTheWait()
    {
        ScriptedPoster poster({status(503, "30"), status(200)});
        Delivery delivery(poster, withRetry(3, 1), nullptr);
        QElapsedTimer clock;
        clock.start();
        const Delivery::Result result = delivery.deliver(QUrl(QStringLiteral("http://collector.test/")), {});
        QVERIFY(clock.elapsed() < 5000);
        QCOMPARE(result.attempts, 1);
        QCOMPARE(result.post.outcome.kind, Outcome::Kind::Deadline);
        QCOMPARE(result.post.outcome.text, QStringLiteral("Operation timed out after 1 s"));
        QCOMPARE(result.verdict, Delivery::Verdict::Keep);
        QVERIFY(delivery.deadlinePassed());
    }

    void resendSortsEachEvent()
    {
        QTemporaryDir scratch;
        const QString dir = scratch.filePath(QStringLiteral("queue"));
        const QStringList ids = fillQueue(dir);
        QCOMPARE(ids.size(), 3);
        ScriptedPoster poster({status(200), status(503), status(400)});
        int made = 0;
        ResendRecord record;
        const int exitCode = Resend::run(dir, withRetry(0), [&]() -> Poster& { ++made; return poster; }, nullptr, record);
        QCOMPARE(made, 1);  // one poster for the whole queue
        QCOMPARE(outcomes(record), (QStringList{QStringLiteral("00000001 delivered 200"),
                                                QStringLiteral("00000002 kept 503"),
                                                QStringLiteral("00000003 failed 400")}));
        QCOMPARE(record.events.at(1).attempts, 3);  // the two of the first run, and this one
        QCOMPARE(exitCode, 400);
        QCOMPARE(record.errorString, QStringLiteral("status 400"));  // the failure that gave the code
        // Only the kept event stays; the refused one waits in failed/ for a person.
        EventQueue queue(dir);
        QString why;
        QVERIFY(queue.open(false, why) == EventQueue::Opened::Ok);
        QCOMPARE(queue.entries().size(), 1);
        QVERIFY(queue.entries().constFirst().endsWith(ids.at(1)));
        QCOMPARE(QDir(dir + QStringLiteral("/failed")).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size(), 1);
    }

    void resendOfAnEmptyQueueMakesNoPoster()
    {
        QTemporaryDir scratch;
        EventQueue queue(scratch.path());
        QString why;
        QVERIFY(queue.open(true, why) == EventQueue::Opened::Ok);
        int made = 0;
        ResendRecord record;
        ScriptedPoster poster({});
        QCOMPARE(Resend::run(scratch.path(), {}, [&]() -> Poster& { ++made; return poster; }, nullptr, record), 0);
        QCOMPARE(made, 0);
        QVERIFY(record.events.isEmpty());
    }

    // A fault of the set-up ends the pass at the first event, and every entry stays as it was:
    // not counted, not put off, not set aside.
    void resendLeavesTheQueueAsItWas_data()
    {
        QTest::addColumn<Step>("step");
        QTest::addColumn<ScriptedPoster::Then>("then");
        QTest::newRow("proxy refuses the credentials") << status(407) << ScriptedPoster::Then::Answer;
        QTest::newRow("tunnel's proxy refuses them") << transport(21) << ScriptedPoster::Then::Answer;
        QTest::newRow("TLS does not verify") << transport(15) << ScriptedPoster::Then::Answer;
        QTest::newRow("no Kerberos ticket") << Step{Outcome::answer(407, QStringLiteral("no Kerberos credentials: x")), 0, "0"}
                                            << ScriptedPoster::Then::Answer;
        QTest::newRow("the deadline") << Step() << ScriptedPoster::Then::WaitForDeadline;
    }
    void resendLeavesTheQueueAsItWas()
    {
        QFETCH(Step, step);
        QFETCH(ScriptedPoster::Then, then);
        FilledQueue filled;
        QVERIFY(filled.ready());
        ScriptedPoster poster({step, step, step}, then);
        ResendRecord record;
        const int exitCode = resend(filled.dir, poster, withRetry(2, 1), record);
        const Outcome expected = then == ScriptedPoster::Then::WaitForDeadline ? Outcome::deadline(1) : step.outcome;
        QCOMPARE(poster.urls.size(), 1);
        QCOMPARE(exitCode, expected.code);
        QCOMPARE(record.errorString, expected.text);
        QCOMPARE(outcomes(record), QStringList{QStringLiteral("00000001 kept %1").arg(expected.code)});
        QCOMPARE(filled.queue.entries().size(), 3);
        for (const QString& name : filled.queue.entries()) {
            EventQueue::Kept kept;
            QString why;
            QVERIFY2(filled.queue.read(name, kept, why), qPrintable(why));
            QCOMPARE(kept.entry.attempts, 2);
            QCOMPARE(kept.entry.lastStatus, 503);
            QVERIFY(!kept.entry.nextAttempt.isValid());
        }
    }

    // Queueing runs drop the oldest entries at their limits, under a resend's feet: an entry
    // that vanished is passed over, not failed.
    void resendPassesOverAVanishedEntry()
    {
        FilledQueue filled;
        QVERIFY(filled.ready());
        const QStringList names = filled.queue.entries();
        ScriptedPoster poster({status(200), status(200)});
        poster.meanwhile = [&] {  // the first post sees the first two go; the second, nothing more
            QString why;
            for (const QString& name : names.mid(0, 2))
                filled.queue.remove(name, why);
        };
        ResendRecord record;
        std::string printed;
        QCOMPARE(resend(filled.dir, poster, withRetry(0), record, &printed), 0);
        QCOMPARE(outcomes(record), (QStringList{QStringLiteral("00000001 delivered 200"), QStringLiteral("00000003 delivered 200")}));
        QVERIFY2(printed.find("Fail") == std::string::npos, printed.c_str());
        QVERIFY(!QDir(filled.dir + QStringLiteral("/failed")).exists());
    }

    // --max-time bounds the wait for another resend's lock.
    void resendWaitsForTheLockUntilTheDeadline()
    {
        FilledQueue filled;
        QVERIFY(filled.ready());
        const EventQueue::Lock held(filled.queue, [] { return false; });
        QVERIFY(held.isHeld());
        ScriptedPoster poster({});
        ResendRecord record;
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(resend(filled.dir, poster, withRetry(0, 1), record), 14);
        QVERIFY(clock.elapsed() < 1000 + 1000);  // within --max-time and a second
        QVERIFY(record.maxTimeReached());
        QCOMPARE(record.errorString, QStringLiteral("Operation timed out after 1 s"));
        QCOMPARE(poster.urls.size(), 0);
    }

    // What the deadline stopped stays queued, untried events included.
    void resendStopsAtTheDeadline()
    {
        QTemporaryDir scratch;
        const QString dir = scratch.filePath(QStringLiteral("queue"));
        QCOMPARE(fillQueue(dir).size(), 3);
        ScriptedPoster poster({}, ScriptedPoster::Then::WaitForDeadline);
        ResendRecord record;
        const int exitCode = Resend::run(dir, withRetry(2, 1), [&]() -> Poster& { return poster; }, nullptr, record);
        QCOMPARE(exitCode, 14);
        QVERIFY(record.maxTimeReached());
        QCOMPARE(poster.urls.size(), 1);
        QCOMPARE(outcomes(record), QStringList{QStringLiteral("00000001 kept 14")});
        EventQueue queue(dir);
        QString why;
        QVERIFY(queue.open(false, why) == EventQueue::Opened::Ok);
        QCOMPARE(queue.entries().size(), 3);
    }

    // A transient failure puts an entry off: an hour, then twice as long each time, a day at the most;
    // one not yet due waits, unless every entry is asked for. The clock is the test's.
    void resendBacksOff()
    {
        QTemporaryDir scratch;
        const QString dir = scratch.filePath(QStringLiteral("queue"));
        QCOMPARE(fillQueue(dir).size(), 3);  // written without a next attempt: due now
        ScriptedPoster poster(QVector<Step>(100, status(503)).toList());
        const QDateTime start = QDateTime::currentDateTimeUtc();
        struct Run {
            int minutes;
            bool allEntries;
            const char* fate;
            int backoffHours;
        };
        const Run runs[] = {
            {0, false, "kept", 1},  {30, false, "waiting", 1}, {61, false, "kept", 2},  {62, true, "kept", 4},
            {302, false, "kept", 8}, {782, false, "kept", 16}, {1742, false, "kept", 24}, {3182, false, "kept", 24},
        };
        for (const Run& run : runs) {
            const int posted = poster.urls.size();
            ResendRecord record;
            const Resend::Schedule schedule{run.allEntries, start.addSecs(60LL * run.minutes)};
            const std::string printed = captureOutput(
                [&] { Resend::run(dir, withRetry(0), [&]() -> Poster& { return poster; }, nullptr, record, schedule); });
            const bool waiting = qstrcmp(run.fate, "waiting") == 0;
            // A waiting entry says when it will be tried, and how to send it now.
            const QString due = record.events.at(0).nextAttempt.toString(Qt::ISODate);
            QCOMPARE(printed.find(" waiting 503 until " + due.toStdString() + " (--all-entries sends it now)\n") != std::string::npos,
                     waiting);
            QCOMPARE(poster.urls.size() - posted, waiting ? 0 : 3);
            EventQueue queue(dir);
            QString why;
            QVERIFY(queue.open(false, why) == EventQueue::Opened::Ok);
            for (int i = 0; i < 3; ++i) {
                QCOMPARE(ResendRecord::Event::fateName(record.events.at(i).fate), run.fate);
                EventQueue::Kept kept;
                QVERIFY2(queue.read(queue.entries().at(i), kept, why), qPrintable(why));
                QCOMPARE(kept.entry.backoffSeconds, run.backoffHours * 3600);
                QCOMPARE(record.events.at(i).nextAttempt, kept.entry.nextAttempt);
            }
        }
    }

    // A signal ends the resend whenever it comes: during a post, or between two.
    void resendStopsAtASignal_data()
    {
        QTest::addColumn<int>("then");
        QTest::addColumn<QStringList>("events");
        QTest::newRow("during a post") << int(ScriptedPoster::Then::RaiseSigterm)
                                       << QStringList{QStringLiteral("00000001 kept 143")};
        QTest::newRow("between two posts") << int(ScriptedPoster::Then::AnswerThenRaiseSigterm)
                                           << QStringList{QStringLiteral("00000001 delivered 200")};
    }
    void resendStopsAtASignal()
    {
        QFETCH(int, then);
        QTemporaryDir scratch;
        const QString dir = scratch.filePath(QStringLiteral("queue"));
        QCOMPARE(fillQueue(dir).size(), 3);
        const Interruption interruption;
        ScriptedPoster poster({}, ScriptedPoster::Then(then));
        ResendRecord record;
        int exitCode = 0;
        const std::string printed = captureOutput([&] {
            exitCode = Resend::run(dir, withRetry(2), [&]() -> Poster& { return poster; }, nullptr, record);
        });
        QCOMPARE(exitCode, 143);
        QVERIFY(record.interrupted());
        QCOMPARE(poster.urls.size(), 1);
        QTEST(outcomes(record), "events");
        // Said once, and the untried events stay queued.
        QCOMPARE(QString::fromStdString(printed).count(QStringLiteral("Interrupted by SIGTERM\n")), 1);
        EventQueue queue(dir);
        QString why;
        QVERIFY(queue.open(false, why) == EventQueue::Opened::Ok);
        QCOMPARE(queue.entries().size(), 3 - (record.events.at(0).fate == ResendRecord::Event::Fate::Delivered));
    }

    // A kept upload goes to the poster as it stands; how far it got is kept whatever came of the
    // resend, and while it is under way the entry bounds what was sent by the whole body.
    void resendKeepsWhereTheUploadStands_data()
    {
        QTest::addColumn<int>("then");
        QTest::addColumn<int>("answer");
        QTest::addColumn<QString>("event");
        QTest::newRow("kept") << int(ScriptedPoster::Then::Answer) << 503 << QStringLiteral("00000001 kept 503");
        QTest::newRow("stopped") << int(ScriptedPoster::Then::RaiseSigterm) << 503 << QStringLiteral("00000001 kept 143");
        QTest::newRow("refused") << int(ScriptedPoster::Then::Answer) << 400 << QStringLiteral("00000001 failed 400");
    }
    void resendKeepsWhereTheUploadStands()
    {
        QFETCH(int, then);
        QFETCH(int, answer);
        QTemporaryDir scratch;
        const QString dir = scratch.filePath(QStringLiteral("queue"));
        EventQueue queue(dir);
        QString why;
        QVERIFY(queue.open(true, why) == EventQueue::Opened::Ok);
        QueueEntry written = makeEntry(QStringLiteral("00000001-0000-0000-0"), QString(), 5);
        written.upload = ResumableUpload{"b0", {QUrl(QStringLiteral("https://collector.example/files/1")), 10, 20, false}};
        QString path;
        QStringList dropped;
        QVERIFY(queue.add(written, path, dropped, why));
        const Interruption interruption;
        ScriptedPoster poster({status(answer)}, ScriptedPoster::Then(then));
        poster.moved = 5;
        qint64 sentDuring = -1;
        qint64 bodySize = 0;
        poster.meanwhile = [&] {
            EventQueue::Kept kept;
            if (queue.read(queue.entries().constFirst(), kept, why) && kept.entry.upload) {
                sentDuring = kept.entry.upload->progress.sent;
                bodySize = FormBody(kept.entry.parts, "b0").bodySize();
            }
        };
        ResendRecord record;
        captureOutput([&] { Resend::run(dir, withRetry(0), [&]() -> Poster& { return poster; }, nullptr, record); });
        QFETCH(QString, event);
        QCOMPARE(outcomes(record), QStringList{event});
        if (then != int(ScriptedPoster::Then::RaiseSigterm)) {
            QVERIFY(bodySize > 20);
            QCOMPARE(sentDuring, bodySize);
        }
        QCOMPARE(poster.upload, std::nullopt);  // let go with the entry's files
        if (answer == 400) {
            QCOMPARE(queue.entries(), QStringList());  // set aside, as a POST's
            return;
        }
        EventQueue::Kept kept;
        QVERIFY(queue.read(queue.entries().constFirst(), kept, why));
        QVERIFY(kept.entry.upload);
        const TusProgress& progress = kept.entry.upload->progress;
        QCOMPARE((QList<qint64>{progress.confirmed, progress.sent}), (QList<qint64>{15, 25}));
        QCOMPARE(progress.url, written.upload->progress.url);
    }

    // A signal that comes while the last event is finished still ends the run as a signal does.
    void resendHearsASignalAtTheLastEvent()
    {
        FilledQueue filled;
        QVERIFY(filled.ready());
        const Interruption interruption;
        ScriptedPoster poster({});
        poster.meanwhile = [&] {
            if (poster.urls.size() == 3)
                std::raise(SIGTERM);
        };
        ResendRecord record;
        std::string printed;
        QCOMPARE(resend(filled.dir, poster, withRetry(0), record, &printed), 143);
        QVERIFY(record.interrupted());
        QCOMPARE(record.count(ResendRecord::Event::Fate::Delivered), 3);
        QCOMPARE(QString::fromStdString(printed).count(QStringLiteral("Interrupted by SIGTERM\n")), 1);
    }
};

QTEST_MAIN(TestDelivery)
#include "tst_delivery.moc"
