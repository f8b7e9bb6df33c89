#include <QtTest>

#include "argparser.h"
#include "parser_run.h"

// Parses a command line with a fresh scanner; returns the result and what was printed.
struct Parsed {
    bool ok;
    bool valid;
    std::string out;
    ArgParser::Options options;
    std::vector<std::string> argv;  // the words as the parser left them
};

static Parsed parse(const QList<QByteArray>& words)
{
    Parsed p{false, false, {}, {}, {"quillfast"}};
    for (const QByteArray& word : words)
        p.argv.push_back(word.toStdString());
    p.ok = runParser(p.argv, p.options, p.out);
    if (p.ok)
        p.out += captureOutput([&] { p.valid = p.options.isValid(); });
    return p;
}

static std::string usage()
{
    return parse({"--bogus"}).out;
}

class TestArgParser : public QObject {
    Q_OBJECT
private slots:
    void defaults()
    {
        ArgParser::Options o;
        QVERIFY(!o.url.isValid());
        QCOMPARE(o.proxyType, ArgParser::Options::NoProxy);
        QVERIFY(!o.displayVersion && o.files.isEmpty() && o.postVariables.isEmpty() && o.workDir.isEmpty());
        const std::string text = usage();
        QVERIFY(text.rfind("Quillfast usage : \n", 0) == 0);
        QCOMPARE(std::count(text.begin(), text.end(), '\n'), 13L);
    }

    void effects()
    {
        const Parsed p = parse({"-u", "http://h/x", "--file", "a", "-f", "a", "--json=j.json", "--work", "out",
                                "-o", "o1", "--org", "o2", "--proj", "P", "-t", "T", "--extra-post", "k=",
                                "--extra-post", "=v", "stray", "--extra-post", "type=E", "--proxy", "ph:1",
                                "-n", "-v", "--url", "http://h/y"});
        QVERIFY(p.ok);
        QCOMPARE(p.out, std::string());
        const ArgParser::Options& o = p.options;
        QCOMPARE(o.url, QUrl(QStringLiteral("http://h/y")));
        QCOMPARE(o.files, (QStringList{QStringLiteral("a"), QStringLiteral("a")}));
        QCOMPARE(o.jsonFile, QStringLiteral("j.json"));
        QCOMPARE(o.workDir, QStringLiteral("out/"));
        QCOMPARE(o.postVariables.value(QStringLiteral("org")), QStringLiteral("o2"));
        QCOMPARE(o.postVariables.value(QStringLiteral("project")), QStringLiteral("P"));
        QCOMPARE(o.postVariables.value(QStringLiteral("type")), QStringLiteral("E"));
        QCOMPARE(o.postVariables.value(QStringLiteral("k"), QStringLiteral("missing")), QString());
        QCOMPARE(o.postVariables.value(QString()), QStringLiteral("v"));
        // -n consumed "-v" as its ignored argument; the proxy text outlives the mode.
        QCOMPARE(o.proxyType, ArgParser::Options::NoProxy);
        QCOMPARE(o.proxy, QStringLiteral("ph:1"));
        QVERIFY(!o.displayVersion);
    }

    void workDir_data()
    {
        QTest::addColumn<QByteArray>("given");
        QTest::addColumn<QString>("stored");
        QTest::newRow("plain") << QByteArray("out") << QStringLiteral("out/");
        QTest::newRow("slash") << QByteArray("out/") << QStringLiteral("out/");
        QTest::newRow("backslash") << QByteArray("D:\\tmp\\") << QStringLiteral("D:\\tmp\\");
        QTest::newRow("empty: the current one, not the root") << QByteArray("") << QString();
    }
    void workDir()
    {
        QFETCH(QByteArray, given);
        QFETCH(QString, stored);
        QCOMPARE(parse({"-w", given}).options.workDir, stored);
    }

    void rejected_data()
    {
        QTest::addColumn<QList<QByteArray>>("words");
        QTest::addColumn<QByteArray>("message");
        QTest::addColumn<bool>("urlSet");
        const QByteArray none = QByteArray();
        QTest::newRow("unknown") << QList<QByteArray>{"--nope"} << none << false;
        QTest::newRow("short -e") << QList<QByteArray>{"-e", "a=b"} << none << false;
        QTest::newRow("short -x") << QList<QByteArray>{"-x", "h"} << none << false;
        QTest::newRow("short -s") << QList<QByteArray>{"-s"} << none << false;
        QTest::newRow("ambiguous pro") << QList<QByteArray>{"--pro", "x"} << none << false;
        QTest::newRow("final -n") << QList<QByteArray>{"-n"} << none << false;
        QTest::newRow("no-proxy=arg") << QList<QByteArray>{"--no-proxy=1"} << none << false;
        QTest::newRow("two =") << QList<QByteArray>{"--extra-post", "a=b=c", "-u", "http://h"}
                               << QByteArray("\"a=b=c\" is not an extra-post value!\n\n") << false;
        QTest::newRow("no =") << QList<QByteArray>{"-u", "http://h", "--extra-post", "ab"}
                              << QByteArray("\"ab\" is not an extra-post value!\n\n") << true;
        QTest::newRow("latin1 byte") << QList<QByteArray>{"--extra-post", "caf\xe9"}
                                     << QByteArray("\"caf\xe9\" is not an extra-post value!\n\n") << false;
        QTest::newRow("proxy port 0") << QList<QByteArray>{"--proxy", "h:0"}
                                      << QByteArray("\"h:0\" is not a proxy host[:port]!\n\n") << false;
        QTest::newRow("proxy port text") << QList<QByteArray>{"--proxy", "http://h:x/"}
                                         << QByteArray("\"http://h:x/\" is not a proxy host[:port]!\n\n") << false;
        QTest::newRow("kerberos without a proxy") << QList<QByteArray>{"--kerberos", "--proxy", "socks5://h"}
                                                  << QByteArray("--kerberos needs an HTTP proxy: --proxy http://HOST:PORT or --system-proxy\n\n") << false;
        QTest::newRow("proxy port big") << QList<QByteArray>{"--proxy", "h:65536"}
                                        << QByteArray("\"h:65536\" is not a proxy host[:port]!\n\n") << false;
    }
    void rejected()
    {
        QFETCH(QList<QByteArray>, words);
        QFETCH(QByteArray, message);
        QFETCH(bool, urlSet);
        const Parsed p = parse(words);
        QVERIFY(!p.ok);
        // getopt's own diagnostic is off here (opterr = 0); the usage text follows the message.
        QCOMPARE(p.out, message.toStdString() + usage());
        QCOMPARE(p.options.url.isValid(), urlSet);
    }

    void validation_data()
    {
        QTest::addColumn<QList<QByteArray>>("words");
        QTest::addColumn<QByteArray>("message");
        const QList<QByteArray> all{"-u", "http://h", "-f", "a", "-o", "", "-p", "p", "-t", "t"};
        QTest::newRow("nothing") << QList<QByteArray>{} << QByteArray("--url is required\n\n");
        QTest::newRow("empty url") << QList<QByteArray>{"-u", "", "-f", "a"} << QByteArray("--url is required\n\n");
        QTest::newRow("no file") << QList<QByteArray>{"-u", "http://h"} << QByteArray("At least one --file is required\n\n");
        QTest::newRow("no org") << QList<QByteArray>{"-u", "x", "-f", "a", "--extra-post", "Org=1"} << QByteArray("--org is required\n\n");
        QTest::newRow("no project") << QList<QByteArray>{"-u", "x", "-f", "a", "-o", ""} << QByteArray("--project is required\n\n");
        QTest::newRow("no type") << QList<QByteArray>{"-u", "x", "-f", "a", "-o", "", "-p", ""} << QByteArray("--type is required\n\n");
        QTest::newRow("complete") << all << QByteArray();
        QTest::newRow("extra-post keys") << QList<QByteArray>{"-u", "x", "-f", "a", "--extra-post", "org=1", "--extra-post",
                                                              "project=2", "--extra-post", "type=3"} << QByteArray();
        QTest::newRow("version only") << QList<QByteArray>{"--version"} << QByteArray();
    }
    void validation()
    {
        QFETCH(QList<QByteArray>, words);
        QFETCH(QByteArray, message);
        const Parsed p = parse(words);
        QVERIFY(p.ok);
        QCOMPARE(p.valid, message.isEmpty());
        QCOMPARE(p.out, message.isEmpty() ? std::string() : message.toStdString() + usage());
    }

    // A resend takes its events from the queue: every option that describes one is refused beside it.
    void resendCombinations_data()
    {
        QTest::addColumn<QList<QByteArray>>("words");
        QTest::addColumn<QByteArray>("message");
        QTest::newRow("transport options") << QList<QByteArray>{"--resend", "q", "--retry", "2", "--report", "r.json",
                                                                "--max-time", "5", "--progress", "never", "--idle-timeout",
                                                                "3", "--header", "A: b", "--system-proxy"}
                                           << QByteArray();
        QTest::newRow("url") << QList<QByteArray>{"--resend", "q", "--url", "http://h"} << QByteArray("--url");
        QTest::newRow("short file first") << QList<QByteArray>{"-f", "a", "--resend", "q", "-u", "x"} << QByteArray("--file");
        QTest::newRow("extra-post") << QList<QByteArray>{"--extra-post", "a=b", "--resend", "q"} << QByteArray("--extra-post");
        QTest::newRow("queue") << QList<QByteArray>{"--resend", "q", "--queue", "q"} << QByteArray("--queue");
        QTest::newRow("dry-run") << QList<QByteArray>{"--resend", "q", "--dry-run"} << QByteArray("--dry-run");
    }
    void resendCombinations()
    {
        QFETCH(QList<QByteArray>, words);
        QFETCH(QByteArray, message);
        const Parsed p = parse(words);
        QCOMPARE(p.ok, message.isEmpty());
        if (!message.isEmpty())
            QCOMPARE(p.out, "--resend cannot be used with " + message.toStdString() + "\n\n" + usage());
    }

    // Options added later must not change what an accepted command line means.
    void oldPrefixesKeepTheirMeaning()
    {
        // Every option of earlier releases, with a value it accepts (null: it takes none).
        const QList<QPair<QByteArray, QByteArray>> old{{"url", "k=v"}, {"file", "k=v"}, {"json", "k=v"},
            {"work-dir", "k=v"}, {"org", "k=v"}, {"project", "k=v"}, {"type", "k=v"}, {"extra-post", "k=v"},
            {"no-proxy", {}}, {"system-proxy", {}}, {"proxy", "h:1"}, {"version", {}}, {"cacert", "/nonexistent"},
            {"idle-timeout", "7"}, {"retry", "3"}, {"dry-run", {}}, {"report", "r.json"}};
        auto describe = [](const Parsed& p) {
            const ArgParser::Options& o = p.options;
            return QStringList{QString::number(p.ok), o.url.toString(), o.files.join(QLatin1Char(',')), o.jsonFile,
                               o.workDir, QStringList(o.postVariables.keys()).join(QLatin1Char(',')),
                               QStringList(o.postVariables.values()).join(QLatin1Char(',')),
                               QString::number(o.proxyType), o.proxy, QString::number(o.displayVersion),
                               QString::number(o.transport.caCertificates.isSet()), QString::number(o.transport.idleTimeout),
                               QString::number(o.transport.retry), QString::number(o.dryRun), o.report.path(),
                               QString::fromStdString(p.out)}
                .join(QLatin1Char('|'));
        };
        int checked = 0;
        for (const auto& option : old) {
            for (int length = 1; length <= option.first.size(); ++length) {
                const QByteArray prefix = option.first.left(length);
                if (std::count_if(old.begin(), old.end(), [&](const auto& o) { return o.first.startsWith(prefix); }) != 1)
                    continue;
                QList<QByteArray> words{"--" + prefix};
                QList<QByteArray> full{"--" + option.first};
                if (!option.second.isNull()) {
                    words << option.second;
                    full << option.second;
                }
                QCOMPARE(describe(parse(words)), describe(parse(full)));
                ++checked;
            }
        }
        QVERIFY(checked > 100);
    }

    void helpNamesEveryOption()
    {
        const QString help = QString::fromLatin1(ArgParser::helpText());
        const QStringList names = ArgParser::longOptionNames();
        QVERIFY(names.size() > 25);
        for (const QString& name : names) {
            const QRegularExpression shown(QRegularExpression::escape(name) + QStringLiteral("[= \n]"));
            QVERIFY2(help.contains(shown), qPrintable(name));
        }
        const Parsed p = parse({"--help", "--url", "x"});
        QVERIFY(p.ok && p.options.displayHelp && p.out.empty());
    }

    void newOptionValues_data()
    {
        QTest::addColumn<QList<QByteArray>>("words");
        QTest::addColumn<QByteArray>("message");
        // The option, the value given, and what the option takes.
        const char* const bad[][4] = {
            {"timeout 0", "--idle-timeout", "0", "a positive whole number of seconds"},
            {"timeout text", "--idle-timeout", "1s", "a positive whole number of seconds"},
            {"retry 11", "--retry", "11", "a whole number from 0 to 10"},
            {"retry -1", "--retry", "-1", "a whole number from 0 to 10"},
            {"cacert missing", "--cacert", "/nonexistent.pem", "a readable PEM file with at least one certificate"},
            // A device would be read for ever.
            {"cacert device", "--cacert", "/dev/zero", "a readable PEM file with at least one certificate"},
            {"accept 300", "--accept-status", "201,300", "statuses from 200 to 299 separated by commas, or 2xx"},
            {"report empty", "--report", "", "a file name"},
            {"report in no folder", "--report", "/nonexistent/r.json", "a file in a folder that exists"},
            // A name that no part header could carry, and would never be resent.
            {"name with LF", "--extra-post", "a\nb=v", "a name without control characters"},
            {"json extension with ESC", "--json", "e.j\x1bson", "a path whose last '.' is followed by no control character"},
        };
        for (const auto& row : bad)
            QTest::newRow(row[0]) << QList<QByteArray>{QByteArray(row[1]) + '=' + row[2]}
                                  << "Bad value for " + QByteArray(row[1]) + ": \"" + row[2] + "\" (" + row[3] + ")\n\n";
    }
    // Other users of the machine read /proc/PID/cmdline: the secrets leave the words once read.
    void secretsLeaveTheArguments()
    {
        QTemporaryFile headers;
        QVERIFY(headers.open() && headers.write("X-Key: from a file\n") > 0 && headers.flush());
        const QByteArray fromFile = "@" + QFile::encodeName(headers.fileName());
        const Parsed p = parse({"-u", "https://bob:s3cr%40t@h:1/x?a=b@c", "--proxy=http://al:p@ss@ph:3128",
                                "--hea", "Authorization: Bearer tok", "--header", fromFile, "--json", "dir\n/e.json"});
        QVERIFY(p.ok);
        QCOMPARE(p.options.url.password(), QStringLiteral("s3cr@t"));
        QCOMPARE(p.options.transport.proxySetting.password, QStringLiteral("p@ss"));
        QCOMPARE(p.options.transport.headers.list().value(0).second, QByteArray("Bearer tok"));
        QCOMPARE(p.argv.at(2), std::string("https://bob:********@h:1/x?a=b@c"));
        QCOMPARE(p.argv.at(3), std::string("--proxy=http://al:****@ph:3128"));
        QCOMPARE(p.argv.at(5), std::string("Authorization:***********"));
        QCOMPARE(p.argv.at(7), fromFile.toStdString());
        // A proxy's password is what its reader takes, '?', '#' and '/' included: all of it goes.
        const char* const proxies[][3] = {
            {"http://al:p?ss@ph:3128", "p?ss", "http://al:****@ph:3128"},
            {"http://al:p#s@s@ph:3128", "p#s@s", "http://al:*****@ph:3128"},
            {"al:a/b?c#d@ph", "", "al:*******@ph"},  // a bad value, but a secret all the same
            {"socks5h://al:%3F?x@ph", "??x", "socks5h://al:*****@ph"},
        };
        for (const auto& row : proxies) {
            const Parsed q = parse({"-u", "http://h/", "--proxy", row[0]});
            QCOMPARE(q.options.transport.proxySetting.password, QString::fromLatin1(row[1]));
            QCOMPARE(QString::fromStdString(q.argv.at(4)), QString::fromLatin1(row[2]));
        }
    }

    void newOptionValues()
    {
        QFETCH(QList<QByteArray>, words);
        QFETCH(QByteArray, message);
        const Parsed p = parse(words);
        QVERIFY(!p.ok);
        QCOMPARE(p.out, message.toStdString() + usage());
        const Parsed good = parse({"--idle-timeout", "5", "--retry", "10", "--dry-run", "--report", "r.json"});
        QVERIFY(good.ok && good.options.dryRun);
        QCOMPARE(good.options.transport.idleTimeout + good.options.transport.retry, 15);
    }
};

QTEST_APPLESS_MAIN(TestArgParser)
#include "tst_argparser.moc"
