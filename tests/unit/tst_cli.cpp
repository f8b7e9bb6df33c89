#include <QtTest>

#include "cli.h"
#include "form/EventForm.h"
#include "support/console.h"

class TestCli : public QObject {
    Q_OBJECT
private slots:
    void eventId()
    {
        const QString a = Cli::makeEventId();
        QVERIFY(QRegExp(QStringLiteral("[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]")).exactMatch(a));
        QVERIFY(a != Cli::makeEventId());
    }

    void archiverArguments_data()
    {
        QTest::addColumn<QString>("archive");
        QTest::addColumn<QStringList>("files");
        QTest::addColumn<QStringList>("arguments");
        const QString zip = QStringLiteral("ID.zip");
        QTest::newRow("plain") << QStringLiteral("out/ID.zip") << QStringList{QStringLiteral("a b"), QStringLiteral("/x")}
                               << QStringList{QStringLiteral("a"), QStringLiteral("out/ID.zip"), QStringLiteral("a b"), QStringLiteral("/x")};
        QTest::newRow("switch") << zip << QStringList{QStringLiteral("-sdel"), QStringLiteral("c-d")}
                                << QStringList{QStringLiteral("a"), zip, QStringLiteral("./-sdel"), QStringLiteral("c-d")};
        QTest::newRow("list file") << zip << QStringList{QStringLiteral("@list"), QStringLiteral("a@b")}
                                   << QStringList{QStringLiteral("a"), zip, QStringLiteral("./@list"), QStringLiteral("a@b")};
        QTest::newRow("work dir") << QStringLiteral("-w/ID.zip") << QStringList{QStringLiteral("./-f")}
                                  << QStringList{QStringLiteral("a"), QStringLiteral("./-w/ID.zip"), QStringLiteral("./-f")};
    }
    void archiverArguments()
    {
        QFETCH(QString, archive);
        QFETCH(QStringList, files);
        QFETCH(QStringList, arguments);
        QCOMPARE(Cli::archiverArguments(archive, files), arguments);
    }

    void archiverMessage_data()
    {
        QTest::addColumn<QByteArray>("output");
        QTest::addColumn<QString>("message");
        QTest::newRow("bar") << QByteArray("a|b") << QStringLiteral("a\nb");
        QTest::newRow("crlf and blanks") << QByteArray("\r\n\r\nx\r\n\r\n\ny\r\n\n") << QStringLiteral("x\ny");
        QTest::newRow("nul") << QByteArray("shown\0hidden", 12) << QStringLiteral("shown");
        QTest::newRow("empty") << QByteArray() << QString();
        QTest::newRow("latin1") << QByteArray("caf\xe9 ") << QString::fromLatin1("caf\xe9");
    }
    void archiverMessage()
    {
        QFETCH(QByteArray, output);
        QFETCH(QString, message);
        QCOMPARE(Cli::archiverMessage(output), message);
    }

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

    // What a peer or a file sent reaches the terminal without a control character.
    void consoleEscaping_data()
    {
        QTest::addColumn<QByteArray>("text");  // as the program holds it: a character per byte
        QTest::addColumn<QByteArray>("shown");
        QTest::newRow("C0 and DEL") << QByteArray("a\x1b[2J\r\n\x7f\tb") << QByteArray("a\\x1b[2J\\x0d\\x0a\\x7f\tb");
        QTest::newRow("raw C1") << QByteArray("\x9b" "31m\x85") << QByteArray("\\x9b" "31m\\x85");
        QTest::newRow("C1 in UTF-8") << QByteArray("\xc2\x9b" "2J") << QByteArray("\\xc2\\x9b" "2J");
        QTest::newRow("other UTF-8 whole") << QByteArray("caf\xc3\xa9 \xe2\x82\xac \xc2\xa0") << QByteArray("caf\xc3\xa9 \xe2\x82\xac \xc2\xa0");
        QTest::newRow("Latin-1 letters") << QByteArray("caf\xe9 \xa0") << QByteArray("caf\xe9 \xa0");
        QTest::newRow("cut sequence") << QByteArray("\xe2\x82") << QByteArray("\xe2\\x82");
    }
    void consoleEscaping()
    {
        QFETCH(QByteArray, text);
        QTEST(QByteArray::fromStdString(toConsoleEscaped(QString::fromLatin1(text))), "shown");
    }
};

QTEST_APPLESS_MAIN(TestCli)
#include "tst_cli.moc"
