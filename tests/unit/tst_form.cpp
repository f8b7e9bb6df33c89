#include <QtTest>

#include "form/EventForm.h"

class TestForm : public QObject {
    Q_OBJECT
private slots:
    void placeholders()
    {
        QMap<QString, QString> vars{{QStringLiteral("org"), QStringLiteral("$type-$eventId")},
                                    {QStringLiteral("type"), QStringLiteral("crash")}};
        QCOMPARE(EventForm::fillPlaceholders("$eventId|$org|$project|$types|$ORG|$organisation", QStringLiteral("ID"), vars),
                 QByteArray("ID|crash-$eventId||crashs|$ORG|crash-$eventIdanisation"));
        const QByteArray raw("\xef\xbb\xbf{\r\n\"a\": 1}\n");
        QCOMPARE(EventForm::fillPlaceholders(raw, QStringLiteral("ID"), vars), raw);
    }

    void jsonFileName_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("name");
        QTest::newRow("dots") << QStringLiteral("crash.report.json") << QStringLiteral("ID.json");
        QTest::newRow("windows") << QStringLiteral("D:\\reports\\crash.json") << QStringLiteral("ID.json");
        QTest::newRow("dir dot") << QStringLiteral("D:\\data.old\\event") << QStringLiteral("ID.old\\event");
        QTest::newRow("dot slash") << QStringLiteral("./event") << QStringLiteral("ID./event");
        QTest::newRow("no dot") << QStringLiteral("event") << QStringLiteral("IDevent");
    }
    void jsonFileName()
    {
        QFETCH(QString, path);
        QFETCH(QString, name);
        QCOMPARE(EventForm::jsonPartFileName(QStringLiteral("ID"), path), name);
    }

    // What a part's header may carry, for the command line and the queue's reader alike.
    void partNames()
    {
        for (const char* text : {"a\nb", "\x01", "e.j\x1bson", "\x7f", "a\rb"})
            QVERIFY2(!FormPart::mayHold(text), text);
        for (const char* text : {"", "q\"k", "caf\xe9", "\x9b"})
            QVERIFY2(FormPart::mayHold(text), text);
        QCOMPARE(FormPart::quoted("q\"k\"\""), QByteArray("q%22k%22%22"));
        QVERIFY(!FormPart::mayHold(EventForm::jsonPartFileName(QString(), QStringLiteral("e\njson")).toLatin1()));
        QVERIFY(FormPart::mayHold(EventForm::jsonPartFileName(QString(), QStringLiteral("d\nir/e.json")).toLatin1()));
    }
};

QTEST_APPLESS_MAIN(TestForm)
#include "tst_form.moc"
