#include <QtTest>

#include "deliver/RetryPolicy.h"

class TestRetry : public QObject {
    Q_OBJECT
private slots:
    void delays()
    {
        const QDateTime now = QDateTime::currentDateTimeUtc();
        for (int retry = 1; retry <= 10; ++retry) {
            const qint64 base = std::min<qint64>(60000, 1000LL << (retry - 1));
            QCOMPARE(RetryPolicy::delayMs(retry, 500, QByteArray(), now, 0.0), base);
            const qint64 most = RetryPolicy::delayMs(retry, 500, QByteArray(), now, 0.999);
            QVERIFY(most >= base && most <= std::min<qint64>(60000, base * 5 / 4));
        }
        QCOMPARE(RetryPolicy::delayMs(1, 503, "7", now, 0.5), qint64(7000));
        QCOMPARE(RetryPolicy::delayMs(1, 429, "100000", now, 0.5), qint64(300000));
        QCOMPARE(RetryPolicy::delayMs(1, 500, "7", now, 0.0), qint64(1000));  // only 429 and 503 are asked to wait
        QCOMPARE(RetryPolicy::delayMs(2, 503, "junk", now, 0.0), qint64(2000));
        for (int code : {11, 12, 13, 14, 16, 18, 20, 101, 103, 408, 429, 500, 502, 503, 504})
            QVERIFY(RetryPolicy::isTransient(code));
        for (int code : {3, 6, 15, 17, 19, 21, 25, 28, 100, 201, 400, 404, 413, 501, -1})
            QVERIFY(!RetryPolicy::isTransient(code));
    }

    void retryAfter_data()
    {
        QTest::addColumn<QByteArray>("header");
        QTest::addColumn<qint64>("ms");
        QTest::newRow("seconds") << QByteArray("120") << qint64(120000);
        QTest::newRow("zero") << QByteArray(" 0 ") << qint64(0);
        QTest::newRow("date ahead") << QByteArray("Tue, 08 Dec 2026 10:00:30 GMT") << qint64(30000);
        QTest::newRow("date past") << QByteArray("Mon, 07 Dec 2026 10:00:00 GMT") << qint64(0);
        QTest::newRow("negative") << QByteArray("-5") << qint64(-1);
        QTest::newRow("junk") << QByteArray("soon") << qint64(-1);
        QTest::newRow("empty") << QByteArray() << qint64(-1);
    }
    void retryAfter()
    {
        QFETCH(QByteArray, header);
        QFETCH(qint64, ms);
        const QDateTime now(QDate(2026, 12, 8), QTime(10, 0, 0), Qt::UTC);
        QCOMPARE(RetryPolicy::parseRetryAfterMs(header, now), ms);
    }

};

QTEST_APPLESS_MAIN(TestRetry)
#include "tst_retry.moc"
