#include <QtTest>

#include <csignal>

#include "net/HeaderBound.h"
#include "net/QtExchange.h"
#include "post/ReplyClassifier.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>

#include <memory>

namespace {

// Answers every knock the same way, and counts what it was asked.
class ScriptedProbes : public Probes {
public:
    Knock answer;
    QByteArray sent;
    int knocks = 0;

    Knock knock(const QString& /*host*/, quint16 /*port*/, const Ask& ask) override
    {
        ++knocks;
        sent = ask.sent;
        return answer;
    }
    int lookUpMs(const QString& /*host*/) override { return 0; }
};

Route direct()
{
    return {};
}

Route httpProxy(bool tunnel)
{
    Route route;
    route.via = Route::Via::HttpProxy;
    route.tunnel = tunnel;
    route.proxyHost = QStringLiteral("proxy");
    route.proxyPort = 3128;
    return route;
}

ReplyFacts facts(const char* url, int status, QNetworkReply::NetworkError error = QNetworkReply::NoError,
                 const char* text = "")
{
    ReplyFacts f;
    f.url = QUrl(QLatin1String(url));
    f.httpStatus = status;
    f.errorCode = error == QNetworkReply::NoError ? 0 : QtExchange::transportCode(error);
    f.detail = QtExchange::detailOf(error, QLatin1String(text));
    f.errorText = QLatin1String(text);
    return f;
}

Probes::Knock reached(const QByteArray& answer = QByteArray(), bool closed = false)
{
    return {Probes::Reach::Answered, answer, closed, std::nullopt};
}

// One case: the facts, the route and what a probe meets, and what they must come to.
struct Row {
    ReplyFacts facts;
    Route route;
    Probes::Knock knock;
    int redirects = 0;
    int code = 0;
    Outcome::Kind kind = Outcome::Kind::Answer;
    QString text;
    int httpStatus = 0;
    bool redirect = false;
    bool tunnelRefused = false;
    int knocks = 0;
};

Row row(ReplyFacts f, Route route, int code, Outcome::Kind kind, const QString& text)
{
    Row r;
    r.facts = std::move(f);
    r.route = std::move(route);
    r.code = code;
    r.kind = kind;
    r.text = text;
    r.httpStatus = r.facts.httpStatus;
    return r;
}

ReplyFacts ended(WaitEnd end, int status = 0)
{
    ReplyFacts f = facts("http://collector/x", status);
    f.end = end;
    f.signal = SIGTERM;
    return f;
}

}

Q_DECLARE_METATYPE(Row)

class TestClassify : public QObject {
    Q_OBJECT
private slots:
    void classify_data()
    {
        using K = Outcome::Kind;
        using E = QNetworkReply::NetworkError;
        QTest::addColumn<Row>("row");
        const QString proxyClosed = QStringLiteral("Proxy connection closed: proxy:3128");
        const QString cutOff = QStringLiteral("Reply larger than 4194304 bytes: cut off");

        // How the wait itself ended.
        QTest::newRow("idle") << row(ended(WaitEnd::Idle), direct(), 14, K::Transport, QStringLiteral("No data transferred for 5 s"));
        QTest::newRow("deadline") << row(ended(WaitEnd::Deadline), direct(), 14, K::Deadline, QStringLiteral("Operation timed out after 9 s"));
        QTest::newRow("signal") << row(ended(WaitEnd::Interrupted), direct(), 143, K::Interrupted, QStringLiteral("Interrupted by SIGTERM"));
        QTest::newRow("peer gone") << row(ended(WaitEnd::PeerGone), direct(), 12, K::Transport, QStringLiteral("Connection closed"));
        QTest::newRow("proxy asks again and again") << row(ended(WaitEnd::ProxyAsksAgain), httpProxy(true), 407, K::Answer,
                                                          QStringLiteral("Proxy requires authentication: proxy:3128"));
        QTest::newRow("proxy gone") << row(ended(WaitEnd::PeerGone), httpProxy(false), 18, K::Transport, proxyClosed);
        QTest::newRow("header flood") << row(ended(WaitEnd::HeadersTooLarge, 200), direct(), 28, K::Transport,
                                             QStringLiteral("Reply headers longer than 1000 lines or 262144 bytes: cut off"));
        // A reply cut off keeps a status it can use.
        QTest::newRow("cut-off 200") << row(ended(WaitEnd::TooLarge, 200), direct(), 200, K::Answer, cutOff);
        QTest::newRow("cut-off 503") << row(ended(WaitEnd::TooLarge, 503), direct(), 503, K::Answer, cutOff);
        QTest::newRow("cut-off 418") << row(ended(WaitEnd::TooLarge, 418), direct(), 28, K::Transport, cutOff);
        QTest::newRow("cut-off, no status") << row(ended(WaitEnd::TooLarge), direct(), 28, K::Transport, cutOff);
        // Statuses.
        QTest::newRow("interim 103") << row(facts("http://collector/x", 103), direct(), 28, K::Transport,
                                            QStringLiteral("Only an interim answer (103) was read: the final one was lost"));
        QTest::newRow("201") << row(facts("http://collector/x", 201, E::NoError, "Unknown error"), direct(), 201, K::Answer, QStringLiteral("Unknown error"));
        QTest::newRow("429 has no code") << row(facts("http://collector/x", 429, E::UnknownContentError, "server replied: Slow"), direct(), 27,
                                                K::Transport, QStringLiteral("server replied: Slow"));
        QTest::newRow("503 through a proxy") << row(facts("http://collector/x", 503, E::ServiceUnavailableError, "busy"), httpProxy(false),
                                                    503, K::Answer, QStringLiteral("busy"));
        Row redirect = row(facts("http://collector/x", 302), direct(), 302, K::Answer, QString());
        redirect.facts.redirectTarget = QUrl(QStringLiteral("/y"));
        redirect.redirect = true;
        QTest::newRow("redirect") << redirect;
        redirect.redirects = 20;
        redirect.redirect = false;
        redirect.text = QStringLiteral("Too many redirects");
        QTest::newRow("too many redirects") << redirect;
        // A redirect that names no target is the final answer: nothing goes where no one said.
        const QString noTarget = QStringLiteral("Redirect without a usable Location");
        QTest::newRow("301 without Location") << row(facts("http://collector/api/submit", 301), direct(), 301, K::Answer, noTarget);
        Row badTarget = row(facts("http://collector/x", 302), direct(), 302, K::Answer, noTarget);
        badTarget.facts.redirectTarget = QUrl(QStringLiteral("http://[::1"));
        QTest::newRow("302 to a URL that does not parse") << badTarget;
        // TLS: Qt's words, and why the certificate was refused.
        Row tls = row(facts("https://collector/x", 0, E::SslHandshakeFailedError, "SSL handshake failed"), direct(), 15, K::Transport,
                      QStringLiteral("SSL handshake failed: expired; self-signed"));
        tls.facts.tlsReasons = QStringList{QStringLiteral("expired"), QStringLiteral("self-signed"), QStringLiteral("expired")};
        QTest::newRow("TLS reasons") << tls;
    }
    void classify() { check(); }

    // What the network is asked, and what it says, on the way to the peer and through proxies.
    void probed_data()
    {
        using K = Outcome::Kind;
        using E = QNetworkReply::NetworkError;
        QTest::addColumn<Row>("row");
        const QString proxyClosed = QStringLiteral("Proxy connection closed: proxy:3128");
        // What Qt calls an unknown error, told apart by a probe of the peer.
        Row unknown = row(facts("http://collector/x", 0, E::UnknownNetworkError, "Unknown error"), direct(), 25, K::Transport,
                          QStringLiteral("Unknown error: the server answers in TLS (an https:// URL?)"));
        unknown.knock = reached("\x15\x03\x03");
        unknown.knocks = 1;
        QTest::newRow("TLS port over http") << unknown;
        unknown.knock = reached();
        unknown.code = 12;
        unknown.text = QStringLiteral("Connection reset by peer");
        QTest::newRow("reset") << unknown;
        unknown.knock = {Probes::Reach::Refused, QByteArray(), false, std::nullopt};
        unknown.code = 25;
        unknown.text = QStringLiteral("Unknown error");
        QTest::newRow("peer gone too") << unknown;
        unknown.knock = {Probes::Reach::Other, QByteArray(), false, Outcome::interrupted(SIGINT)};
        unknown.code = 130;
        unknown.kind = K::Interrupted;
        unknown.text = QStringLiteral("Interrupted by SIGINT");
        QTest::newRow("a signal during the probe") << unknown;
        QTest::newRow("unreachable") << row(facts("http://collector/x", 0, E::UnknownNetworkError, "Host unreachable"), direct(), 16,
                                            K::Transport, QStringLiteral("Host unreachable"));
        // Proxies: the failure is theirs.
        Row auth = row(facts("http://collector/x", 0, E::ProxyAuthenticationRequiredError, "Proxy requires authentication"),
                       httpProxy(true), 407, K::Answer, QStringLiteral("Proxy requires authentication: proxy:3128"));
        auth.httpStatus = 407;
        QTest::newRow("407 of a tunnel, http") << auth;
        auth.facts.url = QUrl(QStringLiteral("https://collector/x"));
        auth.code = 21;
        auth.kind = K::Transport;
        auth.httpStatus = 0;
        QTest::newRow("407 of a tunnel, https") << auth;
        Row closed = row(facts("http://collector/x", 0, E::RemoteHostClosedError, "closed"), httpProxy(false), 18, K::Transport, proxyClosed);
        closed.knock = reached();
        closed.knocks = 1;
        QTest::newRow("forwarding proxy closes") << closed;
        closed.knock = {Probes::Reach::Refused, QByteArray(), false, std::nullopt};
        closed.code = 17;
        closed.text = QStringLiteral("Proxy connection refused: proxy:3128");
        QTest::newRow("proxy refuses") << closed;
        Row tunnel = row(facts("https://collector/x", 0, E::UnknownNetworkError, "Unknown error"), httpProxy(true), 26, K::Transport,
                         QStringLiteral("Unknown error: proxy:3128"));
        tunnel.knock = reached();
        tunnel.knocks = 1;
        QTest::newRow("tunnel refused, https") << tunnel;
        // An http:// tunnel refused in any way but a 407: the request is forwarded instead.
        for (const auto& refusal : {std::make_pair(E::UnknownNetworkError, "Proxy denied connection"),
                                    std::make_pair(E::UnknownNetworkError, "Error communicating with HTTP proxy"),
                                    std::make_pair(E::HostNotFoundError, "Host collector not found"),
                                    std::make_pair(E::ConnectionRefusedError, "Connection refused"),
                                    std::make_pair(E::ProxyConnectionClosedError, "Proxy connection closed prematurely")}) {
            Row refused = row(facts("http://collector/x", 0, refusal.first, refusal.second), httpProxy(true),
                              QtExchange::transportCode(refusal.first), K::Transport, QLatin1String(refusal.second));
            refused.tunnelRefused = true;
            QTest::newRow(refusal.second) << refused;
        }
        // A close once the tunnel was up: a CONNECT of the probe's own tells whose it was.
        Row closesAtOnce = row(facts("http://collector/x", 0, E::RemoteHostClosedError, "Connection closed"), httpProxy(true), 12,
                               K::Transport, QStringLiteral("Connection closed"));
        closesAtOnce.knock = reached("HTTP/1.1 200 Connection established\r\n\r\n", true);
        closesAtOnce.knocks = 1;
        closesAtOnce.tunnelRefused = true;
        QTest::newRow("200, then a close at once") << closesAtOnce;
        closesAtOnce.knock = reached("HTTP/1.1 200 Connection established\r\n\r\n", false);
        closesAtOnce.knocks = 2;  // and whether the proxy is there
        closesAtOnce.tunnelRefused = false;
        closesAtOnce.code = 18;
        closesAtOnce.text = proxyClosed;
        QTest::newRow("the collector closed") << closesAtOnce;
        Row gone = row(ended(WaitEnd::PeerGone), httpProxy(true), 6, K::Transport, QString());
        gone.tunnelRefused = true;
        gone.facts.signal = 0;
        QTest::newRow("closed on CONNECT") << gone;
    }
    void probed() { check(); }

    // The bound on a reply's header lines is in force on the Qt that runs this, as the package
    // pins it: where the slot it reads is not found, this fails rather than the bound going quiet.
    void headerBoundInForce()
    {
        QNetworkAccessManager manager;
        const std::unique_ptr<QNetworkReply> reply(manager.get(QNetworkRequest(QUrl(QStringLiteral("http://127.0.0.1:1/")))));
        const HeaderBound bound(*reply, [] {});
        QVERIFY(bound.isInForce());
        reply->abort();
    }

    void transportCodes()
    {
        QCOMPARE(QtExchange::transportCode(QNetworkReply::ConnectionRefusedError), 11);
        QCOMPARE(QtExchange::transportCode(QNetworkReply::ProtocolFailure), 28);
        QCOMPARE(QtExchange::transportCode(QNetworkReply::NoError), 6);
        QCOMPARE(QtExchange::transportCode(QNetworkReply::TooManyRedirectsError), 6);
        QVERIFY(ReplyClassifier::isRecognisedStatus(303) && !ReplyClassifier::isRecognisedStatus(308)
                && !ReplyClassifier::isRecognisedStatus(418));
    }

private:
    static void check()
    {
        QFETCH(Row, row);
        ScriptedProbes probes;
        probes.answer = row.knock;
        const ReplyClassifier::Verdict verdict = ReplyClassifier::classify(row.facts, row.route, {5, 9, row.redirects}, probes);
        QCOMPARE(verdict.outcome.code, row.code);
        QCOMPARE(verdict.outcome.kind, row.kind);
        QCOMPARE(verdict.outcome.text, row.text);
        QCOMPARE(verdict.httpStatus, row.httpStatus);
        QCOMPARE(verdict.redirect, row.redirect);
        QCOMPARE(verdict.tunnelRefused, row.tunnelRefused);
        QCOMPARE(probes.knocks, row.knocks);
        if (row.knocks && row.route.isDirect())  // a line end, never a request of the collector
            QCOMPARE(probes.sent, row.facts.url.scheme() == QLatin1String("http") ? QByteArray("\r\n") : QByteArray());
    }
};

QTEST_GUILESS_MAIN(TestClassify)
#include "tst_classify.moc"
