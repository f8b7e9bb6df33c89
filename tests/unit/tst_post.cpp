#include <QtTest>

#include <deque>

#include "parser_run.h"
#include "post/Post.h"
#include "post/Probes.h"
#include "scripted_exchange.h"

namespace {

// One case: the URL, the proxy and the token, the replies; what the post comes to and asks.
struct Row {
    QString url = QStringLiteral("http://collector/a");
    bool throughProxy = false;
    std::optional<TokenSource::Token> token;  // --kerberos
    QList<Reply> script{Reply()};
    int code = 200;
    QString text;
    QStringList requests;  // "METHOD URL", with " +key" when --header went along
    int redirects = 0;
    int drops = 0;
};

}

Q_DECLARE_METATYPE(Row)

class TestPost : public QObject {
    Q_OBJECT
private slots:
    void post_data()
    {
        QTest::addColumn<Row>("row");
        Row chain;
        chain.script = {redirect(302, "/b"), redirect(307, "c"), Reply()};
        chain.requests = QStringList{QStringLiteral("POST http://collector/a +key"), QStringLiteral("POST http://collector/b +key"),
                                     QStringLiteral("POST http://collector/c +key")};
        chain.redirects = 2;
        QTest::newRow("302, 307, 200") << chain;

        Row elsewhere;
        elsewhere.script = {redirect(302, "https://other:8443/x"), Reply()};
        elsewhere.requests = QStringList{QStringLiteral("POST http://collector/a +key"), QStringLiteral("POST https://other:8443/x")};
        elsewhere.redirects = 1;
        QTest::newRow("--header stays with its origin") << elsewhere;

        Row endless;
        endless.script = {redirect(302, "/a")};
        endless.code = 302;
        endless.text = QStringLiteral("Too many redirects");
        endless.requests = QVector<QString>(21, QStringLiteral("POST http://collector/a +key")).toList();
        endless.redirects = 20;
        QTest::newRow("the 21st redirect") << endless;

        Row noTarget;
        noTarget.script = {Reply{301, 0, QString(), QString()}};
        noTarget.code = 301;
        noTarget.text = QStringLiteral("Redirect without a usable Location");
        noTarget.requests = QStringList{QStringLiteral("POST http://collector/a +key")};
        QTest::newRow("a redirect to nowhere") << noTarget;

        // A proxy that will not tunnel an http:// URL: forwarded, after a probe that settles its credentials.
        Row refused;
        refused.throughProxy = true;
        refused.script = {Reply{0, 13, QString(), QString()}, Reply(), Reply()};
        refused.requests = QStringList{QStringLiteral("POST http://collector/a +key tunnel"), QStringLiteral("OPTIONS http://collector/a +key"),
                                       QStringLiteral("POST http://collector/a +key")};
        refused.drops = 1;
        QTest::newRow("a tunnel refused, then forwarded") << refused;
        Row probe407 = refused;
        probe407.script = {Reply{0, 13, QString(), QString()}, Reply{407, 21, QString(), QString()}};
        probe407.code = 407;
        probe407.text = QStringLiteral("Proxy requires authentication: proxy:3128");
        probe407.requests.removeLast();  // no body goes into a refusal
        QTest::newRow("a 407 on the probe") << probe407;

        Row kerberos;
        kerberos.url = QStringLiteral("https://collector/a");
        kerberos.throughProxy = true;
        kerberos.token = TokenSource::Token{TokenSource::Token::End::Refused, QByteArray(), QStringLiteral("no Kerberos credentials: x")};
        kerberos.code = 21;
        kerberos.text = QStringLiteral("no Kerberos credentials: x");
        QTest::newRow("Kerberos without a ticket") << kerberos;
        kerberos.token = TokenSource::Token{TokenSource::Token::End::Made, "Negotiate T", QString()};
        kerberos.code = 200;
        kerberos.text = QString();
        kerberos.requests = QStringList{QStringLiteral("POST https://collector/a +key tunnel Negotiate T")};
        QTest::newRow("Kerberos on the CONNECT") << kerberos;

        Row shrank;
        shrank.script = {Reply{200, 0, QString(), QStringLiteral("x.zip shrank")}};
        shrank.code = -1;
        shrank.text = QStringLiteral("x.zip shrank");
        shrank.requests = QStringList{QStringLiteral("POST http://collector/a +key")};
        QTest::newRow("a body that shrank") << shrank;
    }
    void post()
    {
        QFETCH(Row, row);
        ScriptedExchange exchange(row.script);
        OneProxy lookup;
        if (row.throughProxy)
            lookup.proxy = {ProxyUse::Kind::Http, QStringLiteral("proxy"), 3128, QStringLiteral("http://proxy:3128"), false, QByteArray()};
        ScriptedTokens tokens;
        if (row.token)
            tokens.token = *row.token;
        ProxyChoice proxies(lookup, row.token ? &tokens : nullptr);
        Post post(exchange, proxies, {{{"X-Key", "k"}}, 0, 0});
        ReachedProbes probes;
        PostResult details;
        captureOutput([&] {
            details = post.post(QUrl(row.url), {{"Idempotency-Key", "\"ID\""}}, QDeadlineTimer(QDeadlineTimer::Forever), probes);
        });
        const Outcome& outcome = details.outcome;
        QCOMPARE(outcome.code, row.code);
        QCOMPARE(outcome.text, row.text);
        QStringList asked;
        for (const ExchangeRequest& request : qAsConst(exchange.requests)) {
            QString line = QLatin1String(request.kind == ExchangeRequest::Kind::Form ? "POST " : "OPTIONS ") + request.url.toString();
            QVERIFY(request.headers.contains({"Idempotency-Key", "\"ID\""}));  // the event's own, everywhere
            if (request.headers.contains({"X-Key", "k"}))
                line += QLatin1String(" +key");
            if (Route::of(request.proxy, request.url).tunnel)
                line += QLatin1String(" tunnel");
            if (!request.proxy.connectAuthorization.isEmpty())
                line += QLatin1Char(' ') + QString::fromLatin1(request.proxy.connectAuthorization);
            asked.append(line);
        }
        QCOMPARE(asked, row.requests);
        QCOMPARE(details.redirects, row.redirects);
        QCOMPARE(exchange.drops, row.drops);
        if (!row.requests.isEmpty())
            QCOMPARE(details.finalUrl, exchange.requests.constLast().url);
    }

    // The connection made ahead is the one the first request takes: the same URL and proxy,
    // a tunnel for plain http too. None when a Kerberos token must ride on the CONNECT.
    void prepare_data()
    {
        QTest::addColumn<QString>("url");
        QTest::addColumn<int>("proxy");  // ProxyUse::Kind
        QTest::addColumn<bool>("kerberos");
        QTest::addColumn<QString>("made");  // "URL via HOST:PORT [tunnel]", or empty for none
        QTest::newRow("direct") << "https://collector/a" << int(ProxyUse::Kind::None) << false << "https://collector/a via :0";
        QTest::newRow("http proxy") << "http://collector/a" << int(ProxyUse::Kind::Http) << false
                                    << "http://collector/a via proxy:3128 tunnel";
        QTest::newRow("http proxy, kerberos") << "https://collector/a" << int(ProxyUse::Kind::Http) << true << "";
        QTest::newRow("socks, kerberos") << "http://collector/a" << int(ProxyUse::Kind::Socks) << true
                                         << "http://collector/a via proxy:3128";
    }
    void prepare()
    {
        QFETCH(QString, url);
        QFETCH(int, proxy);
        QFETCH(bool, kerberos);
        QFETCH(QString, made);
        ScriptedExchange exchange({Reply()});
        OneProxy lookup;
        if (ProxyUse::Kind(proxy) != ProxyUse::Kind::None)
            lookup.proxy = {ProxyUse::Kind(proxy), QStringLiteral("proxy"), 3128, QString(), false, QByteArray()};
        ScriptedTokens tokens;
        ProxyChoice proxies(lookup, kerberos ? &tokens : nullptr);
        Post(exchange, proxies, {}).prepare(QUrl(url));
        QStringList asked;
        for (const ExchangeRequest& request : qAsConst(exchange.prepared))
            asked.append(request.url.toString() + QStringLiteral(" via %1:%2").arg(request.proxy.host).arg(request.proxy.port)
                         + QLatin1String(Route::of(request.proxy, request.url).tunnel ? " tunnel" : ""));
        QCOMPARE(asked, made.isEmpty() ? QStringList() : QStringList{made});
        QVERIFY(exchange.requests.isEmpty());  // nothing is sent
    }
};

QTEST_APPLESS_MAIN(TestPost)
#include "tst_post.moc"
