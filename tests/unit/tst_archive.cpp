#include <QtTest>

#include "archive/Archiver.h"

class TestArchive : public QObject {
    Q_OBJECT
private slots:
    // What the user is shown of 7z's merged output.
    void message()
    {
        const QList<QPair<QByteArray, QString>> shown{
            {"a|b", QStringLiteral("a\nb")},
            {"\r\n\r\nx\r\n\r\n\ny\r\n\n", QStringLiteral("x\ny")},
            {QByteArray("shown\0hidden", 12), QStringLiteral("shown")},
            {QByteArray(), QString()},
            {"caf\xe9 ", QString::fromLatin1("caf\xe9")},
        };
        for (const auto& output : shown)
            QCOMPARE(Archiver::message(output.first), output.second);
    }

    void arguments_data()
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
    void arguments()
    {
        QFETCH(QString, archive);
        QFETCH(QStringList, files);
        QFETCH(QStringList, arguments);
        QCOMPARE(Archiver::arguments(archive, files), arguments);
    }

};

QTEST_APPLESS_MAIN(TestArchive)
#include "tst_archive.moc"
