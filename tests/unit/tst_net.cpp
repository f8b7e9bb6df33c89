#include <QtTest>

#include <QHttpPart>
#include <QNetworkRequest>
#include <QTcpServer>
#include <QTcpSocket>

#include <memory>

#include "net/InstalledProxies.h"
#include "net/KerberosTokens.h"
#include "net/NetworkProbes.h"
#include "net/ProxyInstallation.h"
#include "net/QtExchange.h"
#include "support/exitcodes.h"

namespace {

// A peer in the test's own thread, served by the event loop that the exchange waits in:
// it reads one request head and answers with answer (nothing: it stays silent).
class Peer : public QObject {
public:
    explicit Peer(QByteArray reply)
        : answer(std::move(reply))
    {
        server.listen(QHostAddress::LocalHost);
        connect(&server, &QTcpServer::newConnection, this, [this] {
            QTcpSocket* socket = server.nextPendingConnection();
            // Each connection is answered once: Qt sends a request again on a fresh one when the first closed early.
            auto answered = std::make_shared<bool>(false);
            connect(socket, &QTcpSocket::readyRead, this, [this, socket, answered] {
                received += socket->readAll();
                if (received.contains("\r\n\r\n") && !*answered && !answer.isEmpty()) {
                    *answered = true;
                    socket->write(answer);
                    socket->disconnectFromHost();
                }
            });
        });
    }
    QUrl url() const { return QUrl(QStringLiteral("http://127.0.0.1:%1/up").arg(server.serverPort())); }

    QTcpServer server;
    QByteArray answer;
    QByteArray received;
};

ExchangeRequest requestTo(const QUrl& url, ExchangeRequest::Kind kind = ExchangeRequest::Kind::Form)
{
    ExchangeRequest request;
    request.kind = kind;
    request.url = url;
    request.headers = {{"X-Key", "k"}};
    request.deadline = QDeadlineTimer(5000);
    return request;
}

QList<QHttpPart> form()
{
    QHttpPart part;
    part.setHeader(QNetworkRequest::ContentDispositionHeader, QByteArray("form-data; name=\"org\""));
    part.setBody("acme");
    return {part};
}

}

Q_DECLARE_METATYPE(WaitEnd)

class TestNet : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { ProxyInstallation::install(TransportOptions::NoProxy, ProxySetting()); }

    // What a reply comes to, as plain facts.
    void exchange_data()
    {
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<int>("idleSeconds");
        QTest::addColumn<int>("status");
        QTest::addColumn<int>("errorCode");
        QTest::addColumn<WaitEnd>("end");
        QTest::newRow("200 and its body") << QByteArray("HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 2\r\n\r\n{}")
                                          << 0 << 200 << 0 << WaitEnd::Finished;
        QTest::newRow("503 with Retry-After") << QByteArray("HTTP/1.1 503 Busy\r\nRetry-After: 7\r\nContent-Length: 0\r\n\r\n")
                                              << 0 << 503 << ExitCode::Unmapped << WaitEnd::Finished;
        QTest::newRow("302 and where") << QByteArray("HTTP/1.1 302 Found\r\nLocation: /b\r\nContent-Length: 0\r\n\r\n") << 0 << 302 << 0
                                       << WaitEnd::Finished;
        QTest::newRow("a close") << QByteArray("x") << 0 << 0 << ExitCode::ProtocolFailure << WaitEnd::Finished;
        QTest::newRow("silence past --idle-timeout") << QByteArray() << 1 << 0 << 5 << WaitEnd::Idle;
        QTest::newRow("silence to the deadline") << QByteArray() << 0 << 0 << 5 << WaitEnd::Deadline;
    }
    void exchange()
    {
        QFETCH(QByteArray, answer);
        QFETCH(int, idleSeconds);
        QFETCH(int, errorCode);
        Peer peer(answer);
        TransportOptions transport;
        transport.idleTimeout = idleSeconds;
        QtExchange qt(transport, nullptr);
        qt.setForm(form(), {});
        ExchangeRequest request = requestTo(peer.url());
        request.deadline = QDeadlineTimer(idleSeconds ? 5000 : 1500);
        const ExchangeReply reply = qt.exchange(request);
        QTEST(reply.facts.end, "end");
        QTEST(reply.facts.httpStatus, "status");
        if (reply.facts.end == WaitEnd::Finished)
            QCOMPARE(reply.facts.errorCode != 0, errorCode != 0);
        QVERIFY(peer.received.startsWith("POST /up HTTP/1.1\r\n"));
        QVERIFY(peer.received.contains("\r\nX-Key: k\r\n") && peer.received.contains("\r\nAccept-Encoding: identity\r\n"));
        if (reply.facts.httpStatus == 200)
            QCOMPARE((QList<QByteArray>{reply.body, reply.contentType}), (QList<QByteArray>{"{}", "application/json"}));
        if (reply.facts.httpStatus == 503)
            QCOMPARE(reply.retryAfter, QByteArray("7"));
        if (reply.facts.httpStatus == 302)
            QCOMPARE(reply.facts.redirectTarget, QUrl(QStringLiteral("/b")));
    }

    void probeAndRefusal()
    {
        Peer peer("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n");
        QtExchange qt(TransportOptions(), nullptr);
        const ExchangeReply probe = qt.exchange(requestTo(peer.url(), ExchangeRequest::Kind::Options));
        QCOMPARE(probe.facts.httpStatus, 200);
        QVERIFY(peer.received.startsWith("OPTIONS /up HTTP/1.1\r\n"));
        const quint16 closed = peer.server.serverPort();
        peer.server.close();
        qt.dropConnections();
        const ExchangeReply refused = qt.exchange(requestTo(QUrl(QStringLiteral("http://127.0.0.1:%1/").arg(closed))));
        QCOMPARE(refused.facts.errorCode, int(ExitCode::ConnectionRefused));
        QCOMPARE(QtExchange::detailOf(QNetworkReply::UnknownNetworkError, QStringLiteral("Unknown error")), ErrorDetail::Unexplained);
        QCOMPARE(QtExchange::detailOf(QNetworkReply::UnknownNetworkError, QStringLiteral("Proxy denied connection")),
                 ErrorDetail::OtherWords);
    }

    // The probes connect of their own, directly, within their waits.
    void knocks()
    {
        Peer peer("HTTP/1.1 400 Bad\r\n\r\n");
        NetworkProbes probes(QDeadlineTimer(5000), 5);
        Probes::Ask ask;
        ask.sent = "GET / HTTP/1.1\r\n\r\n";
        ask.connectMs = 2000;
        ask.answerMs = 2000;
        const Probes::Knock answered = probes.knock(QStringLiteral("127.0.0.1"), peer.server.serverPort(), ask);
        QCOMPARE(answered.reach, Probes::Reach::Answered);
        QVERIFY(answered.answer.startsWith("HTTP/1.1 400"));
        const quint16 port = peer.server.serverPort();
        peer.server.close();
        QCOMPARE(probes.knock(QStringLiteral("127.0.0.1"), port, ask).reach, Probes::Reach::Refused);
        QVERIFY(probes.lookUpMs(QStringLiteral("localhost")) >= 0);
    }

    // The installed proxy, as the post's logic sees it, and as Qt takes it for one request.
    void installedProxies()
    {
        ProxySetting setting;
        QVERIFY(ProxySetting::parse(QStringLiteral("http://al:pw@proxy.test:3128"), setting));
        ProxyInstallation::install(TransportOptions::ManualProxy, setting);
        InstalledProxies proxies;
        const QUrl url(QStringLiteral("http://collector.test/x"));
        ProxyUse use = proxies.proxyFor(url);
        QCOMPARE(use.kind, ProxyUse::Kind::Http);
        QCOMPARE(use.shown, QStringLiteral("http://al@proxy.test:3128"));
        use.tunnelsPlainHttp = true;
        use.connectAuthorization = "Negotiate T";
        const QNetworkProxy qt = InstalledProxies::forRequest(use, url);
        QVERIFY(!qt.capabilities().testFlag(QNetworkProxy::CachingCapability));
        QCOMPARE(qt.rawHeader("Proxy-Authorization"), QByteArray("Negotiate T"));
        ProxyInstallation::install(TransportOptions::NoProxy, ProxySetting());
        QCOMPARE(proxies.proxyFor(url).kind, ProxyUse::Kind::None);
    }

    // Without a ticket, GSSAPI's reason, from the child that asked.
    void noTicket()
    {
        QTemporaryDir scratch;
        const QString config = scratch.filePath(QStringLiteral("krb5.conf"));
        QFile(config).open(QIODevice::WriteOnly);
        qputenv("KRB5_CONFIG", QFile::encodeName(config));
        qputenv("KRB5CCNAME", "FILE:" + QFile::encodeName(scratch.filePath(QStringLiteral("none"))));
        KerberosTokens tokens;
        const TokenSource::Token token = tokens.proxyAuthorization(QStringLiteral("proxy.test"), QDeadlineTimer(10000));
        QCOMPARE(token.end, TokenSource::Token::End::Refused);
        QVERIFY2(token.why.startsWith(QStringLiteral("no Kerberos credentials: ")) && !token.why.contains(QChar(0)),
                 qPrintable(token.why));
    }
};

QTEST_GUILESS_MAIN(TestNet)
#include "tst_net.moc"
