#include <QtTest>

#include "form/DryRun.h"
#include "form/EventForm.h"
#include "parser_run.h"

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

    // The form step whole: the filled description, the archive streamed from its file, the
    // variables by name; what --dry-run shows of it; a description that cannot be read.
    void buildAndShow()
    {
        QTemporaryDir scratch;
        const QString json = scratch.filePath(QStringLiteral("e.json"));
        const QString zip = scratch.filePath(QStringLiteral("ID.zip"));
        QFile jsonFile(json);
        QVERIFY(jsonFile.open(QIODevice::WriteOnly) && jsonFile.write("{\"id\":\"$eventId\",\"o\":\"$org\"}") > 0);
        jsonFile.close();
        QFile zipFile(zip);
        QVERIFY(zipFile.open(QIODevice::WriteOnly) && zipFile.write(QByteArray(1000, 'z')) == 1000);
        zipFile.close();
        const QMap<QString, QString> variables{{QStringLiteral("org"), QStringLiteral("acme")},
                                               {QStringLiteral("project"), QStringLiteral("p")},
                                               {QStringLiteral("type"), QStringLiteral("t")}};
        BodyFile archive(zip);
        QList<FormPart> form;
        QVERIFY(!EventForm::build({QStringLiteral("ID"), json, variables, QStringLiteral("ID.zip"), true}, archive, form));
        QStringList names;
        for (const FormPart& part : qAsConst(form))
            names.append(QString::fromLatin1(part.name));
        QCOMPARE(names, (QStringList{QStringLiteral("jsonFile"), QStringLiteral("zipFile"), QStringLiteral("org"),
                                     QStringLiteral("project"), QStringLiteral("type")}));
        QCOMPARE(form.at(0).body, QByteArray("{\"id\":\"ID\",\"o\":\"acme\"}"));
        QCOMPARE(form.at(1).bodyDevice, &archive);
        QVERIFY(!form.at(0).sha256.isEmpty() && !form.at(1).sha256.isEmpty());  // --hash-parts
        const std::string shown = captureOutput([&] { DryRun::print(form); });
        QVERIFY2(shown.find("name=\"zipFile\" filename=\"ID.zip\"") != std::string::npos, shown.c_str());
        QVERIFY(shown.find("size=1000") != std::string::npos && shown.find("--- jsonFile ---") != std::string::npos);

        BodyFile none(zip);
        QList<FormPart> failed;
        std::optional<Outcome> outcome;
        captureOutput([&] {
            outcome = EventForm::build({QStringLiteral("ID"), scratch.filePath(QStringLiteral("gone.json")), variables,
                                        QStringLiteral("ID.zip"), false}, none, failed);
        });
        QVERIFY(outcome && outcome->code == -1 && failed.isEmpty());
    }

    // Qt goes back on its own to send a body again: past a byte read, only when the judge allows.
    void goingBack_data()
    {
        QTest::addColumn<int>("readFirst");
        QTest::addColumn<bool>("judged");  // whether a judge is given
        QTest::addColumn<bool>("allowed");
        QTest::addColumn<bool>("goesBack");
        QTest::newRow("nothing read yet") << 0 << true << false << true;
        QTest::newRow("read, the peer answered") << 10 << true << true << true;
        QTest::newRow("read, no answer") << 10 << true << false << false;
        QTest::newRow("read, no judge") << 10 << false << false << true;
    }

    void goingBack()
    {
        QFETCH(int, readFirst);
        QFETCH(bool, judged);
        QFETCH(bool, allowed);
        QFETCH(bool, goesBack);
        QTemporaryDir scratch;
        const QString path = scratch.filePath(QStringLiteral("body"));
        QFile made(path);
        QVERIFY(made.open(QIODevice::WriteOnly) && made.write(QByteArray(100, 'b')) == 100);
        made.close();
        BodyFile body(path);
        QVERIFY(body.open(QIODevice::ReadOnly));
        int asked = 0;
        QVERIFY(body.rewind(judged ? BodyFile::SendingAgain([&] { ++asked; return allowed; }) : BodyFile::SendingAgain()));
        QCOMPARE(body.read(readFirst).size(), readFirst);
        QCOMPARE(body.reset(), goesBack);
        QCOMPARE(body.refusedSendingAgain(), !goesBack);
        QCOMPARE(BodyFile::refusedSendingAgainAmong({&body}), !goesBack);
        QCOMPARE(asked, judged && readFirst > 0 ? 1 : 0);
        // The program's own way back always goes, and starts the count again.
        QVERIFY(body.rewind() && !body.refusedSendingAgain() && body.read(100).size() == 100);
    }
};

QTEST_APPLESS_MAIN(TestForm)
#include "tst_form.moc"
