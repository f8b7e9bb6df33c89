#include <QtTest>

#include "parse/ProxySetting.h"
#include "net/EnvironmentProxyFactory.h"
#include "net/IsolatedCall.h"
#include "support/Interruption.h"

#include <csignal>
#include <unistd.h>
#include "support/UrlDisplay.h"

Q_DECLARE_METATYPE(ProxySetting::Scheme)
Q_DECLARE_METATYPE(IsolatedCall::End)

namespace {
// What a call made in a child may do.
enum class Child { Answers, Refuses, Crashes, Hangs };
}
Q_DECLARE_METATYPE(Child)

class TestProxy : public QObject {
    Q_OBJECT
private slots:
    void parse_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<ProxySetting::Scheme>("scheme");
        QTest::addColumn<QString>("host");
        QTest::addColumn<int>("port");
        QTest::addColumn<QString>("user");
        QTest::addColumn<QString>("password");
        const auto http = ProxySetting::Http;
        const QString none;
        auto row = [&](const char* name, const char* text, bool ok, ProxySetting::Scheme scheme, const char* host, int port,
                       const char* user = "", const char* password = "") {
            QTest::newRow(name) << QString::fromLatin1(text) << ok << scheme << QString::fromLatin1(host) << port
                                << QString::fromLatin1(user) << QString::fromLatin1(password);
        };
        // What was accepted before keeps its meaning.
        row("bare", "proxyhost", true, http, "proxyhost", 8080);
        row("port", "proxyhost:3128", true, http, "proxyhost", 3128);
        row("url form", "http://proxyhost:3128/", true, http, "proxyhost", 3128);
        row("ipv6", "[::1]:3128", true, http, "::1", 3128);
        row("empty host", ":3128", false, http, "", 0);
        row("signed port", "h:+80", false, http, "", 0);
        // Schemes, credentials and their defaults.
        row("upper scheme", "HTTP://h", true, http, "h", 8080);
        row("socks5", "socks5://h", true, ProxySetting::Socks5, "h", 1080);
        row("socks5h", "socks5h://u@h:9", true, ProxySetting::Socks5h, "h", 9, "u");
        row("credentials", "user:pass@h:3128", true, http, "h", 3128, "user", "pass");
        row("encoded", "http://d%5Cuser:p%40ss%3Aw%20@[::1]", true, http, "::1", 8080, "d\\user", "p@ss:w ");
        row("at in password", "u:p@ss@h", true, http, "h", 8080, "u", "p@ss");
        row("latin1 byte", "u:caf%E9@h", true, http, "h", 8080, "u", "caf\xe9");
        row("empty password", "u:@h", true, http, "h", 8080, "u", "");
        row("no user", ":p@h", false, http, "", 0);
        row("https proxy", "https://h:443", false, http, "", 0);
        row("socks4", "socks4://h", false, http, "", 0);
        row("path", "http://h:1/x", false, http, "", 0);
        row("no host", "socks5://u:p@", false, http, "", 0);
    }
    void parse()
    {
        QFETCH(QString, text);
        QFETCH(bool, ok);
        QFETCH(ProxySetting::Scheme, scheme);
        QFETCH(QString, host);
        QFETCH(int, port);
        QFETCH(QString, user);
        QFETCH(QString, password);
        ProxySetting setting;
        QCOMPARE(ProxySetting::parse(text, setting), ok);
        if (!ok) {
            QVERIFY(setting.host.isEmpty());  // a refused text leaves the setting as it was
            return;
        }
        QCOMPARE(setting.scheme, scheme);
        QCOMPARE(setting.host, host);
        QCOMPARE(int(setting.port), port);
        QCOMPARE(setting.user, user);
        QCOMPARE(setting.password, password);
        const QNetworkProxy proxy = setting.toNetworkProxy();
        QCOMPARE(proxy.type(), scheme == ProxySetting::Http ? QNetworkProxy::HttpProxy : QNetworkProxy::Socks5Proxy);
        // socks5 resolves names here: Qt must not hand them to the proxy.
        QCOMPARE(bool(proxy.capabilities() & QNetworkProxy::HostNameLookupCapability), scheme != ProxySetting::Socks5);
        QVERIFY(!UrlDisplay::proxyUrl(proxy).contains(QStringLiteral("pass")));
    }

    void environment_data()
    {
        QTest::addColumn<QStringList>("variables");  // NAME=VALUE
        QTest::addColumn<QString>("url");
        QTest::addColumn<QString>("proxy");          // the display URL, or empty: direct
        QTest::addColumn<int>("problems");
        auto row = [](const char* name, const QStringList& variables, const char* url, const char* proxy, int problems = 0) {
            QTest::newRow(name) << variables << QString::fromLatin1(url) << QString::fromLatin1(proxy) << problems;
        };
        const QString a = QStringLiteral("http_proxy=a:1");
        row("http", {a}, "http://c/x", "http://a:1");
        row("nothing set", {}, "http://c/x", "");
        row("upper HTTP_PROXY ignored", {QStringLiteral("HTTP_PROXY=a:1")}, "http://c/x", "");
        row("https lower", {QStringLiteral("https_proxy=b:2"), a}, "https://c/x", "http://b:2");
        row("https upper", {QStringLiteral("HTTPS_PROXY=b:2")}, "https://c/x", "http://b:2");
        row("https falls to all", {QStringLiteral("ALL_PROXY=socks5h://s:3"), a}, "https://c/x", "socks5h://s:3");
        row("https falls to http", {a}, "https://c/x", "http://a:1");
        row("http ignores https", {QStringLiteral("https_proxy=b:2")}, "http://c/x", "");
        row("all lower first", {QStringLiteral("all_proxy=s:1"), QStringLiteral("ALL_PROXY=t:2")}, "http://c/x", "http://s:1");
        row("credentials kept, not shown", {QStringLiteral("http_proxy=http://u:secret@a:1")}, "http://c/x", "http://u@a:1");
        row("bad value skipped", {QStringLiteral("https_proxy=https://b"), a}, "https://c/x", "http://a:1", 1);
        row("empty value unset", {QStringLiteral("https_proxy="), a}, "https://c/x", "http://a:1");
        row("no_proxy exact", {a, QStringLiteral("no_proxy=c")}, "http://c/x", "");
        row("no_proxy subdomain", {a, QStringLiteral("no_proxy=x, .example.org")}, "http://h.example.org/x", "");
        row("no_proxy not a suffix", {a, QStringLiteral("no_proxy=ample.org")}, "http://example.org/x", "http://a:1");
        row("no_proxy case", {a, QStringLiteral("no_proxy=EXAMPLE.org")}, "http://Example.ORG/", "");
        row("no_proxy star", {a, QStringLiteral("no_proxy=*")}, "http://anything/", "");
        row("no_proxy ipv6", {a, QStringLiteral("no_proxy=[::1]")}, "http://[::1]:8/", "");
        row("lower no_proxy wins", {a, QStringLiteral("no_proxy=x"), QStringLiteral("NO_PROXY=c")}, "http://c/", "http://a:1");
        row("upper NO_PROXY", {a, QStringLiteral("NO_PROXY=c")}, "http://c/", "");
    }
    void environment()
    {
        QFETCH(QStringList, variables);
        QFETCH(QString, url);
        QFETCH(QString, proxy);
        QFETCH(int, problems);
        QProcessEnvironment environment;
        for (const QString& variable : variables)
            environment.insert(variable.section(QLatin1Char('='), 0, 0), variable.section(QLatin1Char('='), 1));
        EnvironmentProxyFactory factory(environment);
        const QNetworkProxy chosen = factory.proxyFor(QUrl(url));
        QCOMPARE(chosen.type() == QNetworkProxy::NoProxy ? QString() : UrlDisplay::proxyUrl(chosen), proxy);
        QCOMPARE(factory.problems().size(), problems);
        QCOMPARE(factory.queryProxy(QNetworkProxyQuery(QUrl(url))).value(0), chosen);
    }

    // A library call that crashes or hangs costs the run nothing: it ends at its bound, the
    // deadline or a signal, whichever comes first, and the child goes with it.
    void isolatedCall_data()
    {
        QTest::addColumn<Child>("child");
        QTest::addColumn<int>("deadlineMs");  // 0: none
        QTest::addColumn<bool>("signal");     // SIGTERM a moment after the start
        QTest::addColumn<IsolatedCall::End>("end");
        QTest::addColumn<QByteArray>("output");
        using E = IsolatedCall::End;
        QTest::newRow("answers") << Child::Answers << 0 << false << E::Returned << QByteArray("Negotiate YII=");
        QTest::newRow("refuses") << Child::Refuses << 0 << false << E::Returned << QByteArray("no ticket");
        QTest::newRow("crashes") << Child::Crashes << 0 << false << E::Crashed << QByteArray();
        QTest::newRow("hangs past its bound") << Child::Hangs << 0 << false << E::TooLong << QByteArray();
        QTest::newRow("hangs past the deadline") << Child::Hangs << 300 << false << E::Deadline << QByteArray();
        QTest::newRow("hangs until a signal") << Child::Hangs << 0 << true << E::Interrupted << QByteArray();
    }
    void isolatedCall()
    {
        QFETCH(Child, child);
        QFETCH(int, deadlineMs);
        QFETCH(bool, signal);
        const Interruption interruption;
        QTimer raiser;
        raiser.setSingleShot(true);
        QObject::connect(&raiser, &QTimer::timeout, [] { std::raise(SIGTERM); });
        if (signal)
            raiser.start(200);
        QElapsedTimer clock;
        clock.start();
        const IsolatedCall::Result result = IsolatedCall::run(
            [child](QByteArray& output) {
                if (child == Child::Crashes)
                    std::raise(SIGSEGV);
                if (child == Child::Hangs)
                    ::pause();
                output = child == Child::Answers ? "Negotiate YII=" : "no ticket";
                return child == Child::Answers;
            },
            deadlineMs ? QDeadlineTimer(deadlineMs) : QDeadlineTimer(QDeadlineTimer::Forever), 1000);
        QVERIFY(clock.elapsed() < 1000 + 1000);  // within the bound and a second
        QTEST(result.end, "end");
        QTEST(result.output, "output");
        QCOMPARE(result.ok, child == Child::Answers);
        QCOMPARE(result.signal, child == Child::Crashes ? SIGSEGV : 0);
        { const Interruption clearsTheSignal; }
    }
};

QTEST_GUILESS_MAIN(TestProxy)
#include "tst_proxy.moc"
