#include <QtTest>

#include <cstdio>
#include <unistd.h>

#include "cli.h"
#include "parser_run.h"
#include "support/ProgressLine.h"
#include "support/console.h"

namespace {

// What fn writes to the process's standard error, as the progress line writes it (stdio, not a stream).
template <typename Fn>
std::string captureStandardError(Fn fn)
{
    QTemporaryFile file;
    if (!file.open())
        return {};
    std::fflush(stderr);
    const int saved = ::dup(STDERR_FILENO);
    ::dup2(file.handle(), STDERR_FILENO);
    fn();
    std::fflush(stderr);
    ::dup2(saved, STDERR_FILENO);
    ::close(saved);
    file.seek(0);
    return file.readAll().toStdString();
}

}

Q_DECLARE_METATYPE(ProgressMode)

class TestCli : public QObject {
    Q_OBJECT
private slots:
    void eventId()
    {
        const QString a = Cli::makeEventId();
        QVERIFY(QRegExp(QStringLiteral("[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]")).exactMatch(a));
        QVERIFY(a != Cli::makeEventId());
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

    // A narrow terminal drops words before numbers.
    void progressFits()
    {
        const QString text = QStringLiteral("Uploading: 12.3 of 45.6 MiB (27%), 5.2 MiB/s, 6 s left");
        const QString shortText = QStringLiteral("Up 12.3/45.6 MiB 27% 5.2 MiB/s 6 s");
        QCOMPARE(ProgressLine::fitted(text, shortText, 80), text);
        QCOMPARE(ProgressLine::fitted(text, shortText, 40), shortText);
        QCOMPARE(ProgressLine::fitted(text, shortText, 21), QStringLiteral("Up 12.3/45.6 MiB 27%"));
    }

    // The line a person at a terminal sees, each stage rewritten in place, then the summary;
    // off, nothing at all.
    void progressLine_data()
    {
        QTest::addColumn<ProgressMode>("mode");
        QTest::addColumn<QStringList>("shown");
        QTest::newRow("always") << ProgressMode::Always
                                << QStringList{QStringLiteral("Archiving: 0.5 of 1.0 MiB read (50%), 1 s"),
                                               QStringLiteral("Uploaded 1.0 MiB, waiting for the server: 0 s"),
                                               QStringLiteral("Delivered e1 to http://c/: 200 in 1.0 s\n")};
        QTest::newRow("never") << ProgressMode::Never << QStringList();
    }
    void progressLine()
    {
        QFETCH(ProgressMode, mode);
        QFETCH(QStringList, shown);
        const std::string printed = captureStandardError([&] {
            ProgressLine line(mode);
            line.archiving(1 << 19, 1 << 20, 1000);
            line.uploading(1 << 18, 1 << 20);
            line.uploading(1 << 20, 1 << 20);
            line.tick();
            line.clear();
            line.summary(QStringLiteral("Delivered e1 to http://c/: 200 in 1.0 s"));
        });
        for (const QString& stage : shown)
            QVERIFY2(QString::fromStdString(printed).contains(stage), printed.c_str());
        QCOMPARE(printed.empty(), shown.isEmpty());
    }
};

QTEST_APPLESS_MAIN(TestCli)
#include "tst_cli.moc"
