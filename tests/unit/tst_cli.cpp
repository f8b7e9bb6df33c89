#include <QtTest>

#include "cli.h"

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
        QCOMPARE(Cli::fillPlaceholders("$eventId|$org|$project|$types|$ORG|$organisation", QStringLiteral("ID"), vars),
                 QByteArray("ID|crash-$eventId||crashs|$ORG|crash-$eventIdanisation"));
        const QByteArray raw("\xef\xbb\xbf{\r\n\"a\": 1}\n");
        QCOMPARE(Cli::fillPlaceholders(raw, QStringLiteral("ID"), vars), raw);
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
        QCOMPARE(Cli::jsonPartFileName(QStringLiteral("ID"), path), name);
    }
};

QTEST_APPLESS_MAIN(TestCli)
#include "tst_cli.moc"
