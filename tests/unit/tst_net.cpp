#include <QtTest>

#include <QHttpPart>
#include <QNetworkRequest>
#include <QTcpServer>
#include <QTcpSocket>

#include <memory>

#include "form/BodyFile.h"
#include "form/FormBody.h"
#include "net/InstalledProxies.h"
#include "net/KerberosTokens.h"
#include "net/NetworkProbes.h"
#include "net/ProxyInstallation.h"
#include "net/QtExchange.h"
#include "net/TlsSettings.h"
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
                if (received.contains("\r\n\r\n") && !*answered && !answer.isEmpty() && (!wholeBody || bodyIsIn())) {
                    *answered = true;
                    socket->write(answer);
                    socket->disconnectFromHost();
                }
            });
        });
    }
    QUrl url() const { return QUrl(QStringLiteral("http://127.0.0.1:%1/up").arg(server.serverPort())); }
    // The request's header named, from the first request in.
    QByteArray header(const QByteArray& name) const
    {
        const QByteArray head = received.left(received.indexOf("\r\n\r\n") + 2);
        const int at = head.indexOf("\r\n" + name + ": ");
        return at < 0 ? QByteArray() : head.mid(at + name.size() + 4, head.indexOf("\r\n", at + 2) - at - name.size() - 4);
    }
    QByteArray body() const { return received.mid(received.indexOf("\r\n\r\n") + 4); }
    bool bodyIsIn() const { return body().size() >= header("Content-Length").toLongLong(); }

    QTcpServer server;
    bool wholeBody = false;  // answer only once the body is in
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
Q_DECLARE_METATYPE(QList<FormPart>)

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

    // The form as one body, read from any offset, is what Qt's multipart sends for the same boundary.
    void formBody_data()
    {
        QTest::addColumn<QList<FormPart>>("parts");
        FormPart variable{"org", "", "", "acme", nullptr, QString(), QByteArray()};
        FormPart file{"zipFile", "ID.zip", "application/x-zip-compressed", QByteArray(), nullptr, QString(),
                      QByteArray(32, '\x5a')};
        FormPart odd{"a \"quoted\" name", "x\".json", "application/octet-stream", "{}", nullptr, QString(), QByteArray()};
        FormPart empty{"", "", "", "", nullptr, QString(), QByteArray()};
        QTest::newRow("variables") << QList<FormPart>{variable, variable};
        QTest::newRow("a file, with its digest") << QList<FormPart>{odd, file, variable};
        QTest::newRow("empty parts") << QList<FormPart>{empty, file, empty};
    }
    void formBody()
    {
        QFETCH(QList<FormPart>, parts);
        QTemporaryDir scratch;
        const QString path = scratch.filePath(QStringLiteral("body"));
        QFile made(path);
        QVERIFY(made.open(QIODevice::WriteOnly) && made.write(QByteArray(100000, 'b') + "end") == 100003);
        made.close();
        BodyFile body(path);
        QVERIFY(body.open(QIODevice::ReadOnly));
        QList<QHttpPart> httpParts;
        for (FormPart& part : parts) {
            if (!part.fileName.isEmpty() && part.fileName.endsWith(".zip"))
                part.bodyDevice = &body;
            httpParts.append(part.toHttpPart());
        }
        Peer peer("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n");
        peer.wholeBody = true;
        QtExchange qt(TransportOptions(), nullptr);
        qt.setForm(httpParts, {&body});
        QCOMPARE(qt.exchange(requestTo(peer.url())).facts.httpStatus, 200);
        const QByteArray type = peer.header("Content-Type");
        const QByteArray boundary = type.mid(type.indexOf("boundary=\"") + 10).chopped(1);
        FormBody form(parts, boundary);
        QCOMPARE(form.contentType(), type);
        QVERIFY(form.open(QIODevice::ReadOnly));
        QCOMPARE(form.size(), qint64(peer.body().size()));
        QCOMPARE(form.readAll(), peer.body());
        for (const qint64 from : {qint64(0), qint64(1), form.size() / 2, form.size() - 7, form.size()}) {
            QVERIFY(form.seek(from));
            QByteArray pieces;
            while (!form.atEnd())
                pieces += form.read(4093);  // reads across the runs of the body
            QCOMPARE(pieces, peer.body().mid(int(from)));
        }
        QVERIFY(!form.seek(form.size() + 1));
        QVERIFY(FormBody::newBoundary().startsWith("boundary_.oOo._") && FormBody::newBoundary().size() == 47);
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

    // The TLS a request is given: none of the program's own without --cacert or a client
    // certificate (even an empty configuration would load the TLS library for an http:// post).
    void tlsForTransport_data()
    {
        QTest::addColumn<bool>("cacert");
        QTest::addColumn<bool>("client");
        QTest::newRow("neither") << false << false;
        QTest::newRow("--cacert") << true << false;
        QTest::newRow("a client certificate") << false << true;
        QTest::newRow("both") << true << true;
    }
    void tlsForTransport()
    {
        QFETCH(bool, cacert);
        QFETCH(bool, client);
        QTemporaryDir scratch;
        const QString cert = scratch.filePath(QStringLiteral("cert.pem"));
        const QString key = scratch.filePath(QStringLiteral("key.pem"));
        QProcess openssl;
        openssl.start(QStringLiteral("openssl"),
                      QStringLiteral("req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 1 -subj /CN=t")
                              .split(QLatin1Char(' '))
                          + QStringList{QStringLiteral("-keyout"), key, QStringLiteral("-out"), cert});
        QVERIFY(openssl.waitForFinished(60000));
        QCOMPARE(openssl.exitCode(), 0);
        TransportOptions transport;
        QString option;
        QString file;
        QString why;
        QVERIFY(!cacert || transport.caCertificates.load(cert));
        QVERIFY2(!client || ClientCertificate::load(cert, key, QString(), transport.clientCertificate, option, file, why),
                 qPrintable(why));

        const std::optional<QSslConfiguration> tls = TlsSettings::forTransport(transport);
        QCOMPARE(tls.has_value(), cacert || client);
        if (!tls)
            return;
        const QSslCertificate made = QSslCertificate::fromPath(cert).value(0);
        QCOMPARE(tls->peerVerifyMode(),
                 cacert ? QSslSocket::VerifyPeer : QSslConfiguration::defaultConfiguration().peerVerifyMode());
        if (cacert)
            QCOMPARE(tls->caCertificates(), QList<QSslCertificate>{made});
        QCOMPARE(tls->localCertificate(), client ? made : QSslCertificate());
        QCOMPARE(tls->privateKey().isNull(), !client);
    }
};

QTEST_GUILESS_MAIN(TestNet)
#include "tst_net.moc"
