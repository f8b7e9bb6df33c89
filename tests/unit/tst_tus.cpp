#include <QtTest>

#include <QCryptographicHash>

#include "form/FormBody.h"
#include "parser_run.h"
#include "scripted_exchange.h"
#include "support/exitcodes.h"
#include "tus/TusUpload.h"

namespace {

using Headers = QList<QPair<QByteArray, QByteArray>>;

Reply made(const char* location) { return {201, 0, QString(), QString(), {{"Location", location}}}; }
Reply at(int status, qint64 offset) { return {status, 0, QString(), QString(), {{"Upload-Offset", QByteArray::number(offset)}}}; }
Reply dropped(qint64 sent) { return {0, ExitCode::RemoteHostClosed, QString(), QString(), {}, sent}; }
Reply answered(int status) { return {status, 0, QString(), QString()}; }

// A form of one part, 1,000 bytes of body: its whole body is FORM bytes long.
QList<FormPart> form()
{
    return {FormPart{"zipFile", "e.zip", "application/x-zip-compressed", QByteArray(1000, 'z'), nullptr, QString(), QByteArray()}};
}

// The network an upload's requests take: a route by the run's rules (direct unless the lookup
// says otherwise) over a scripted exchange.
struct Network {
    explicit Network(const QList<Reply>& script, TokenSource* tokens = nullptr)
        : exchange(script)
        , proxies(lookup, tokens)
        , routed(exchange, proxies, 0)
    {
    }
    ScriptedExchange exchange;
    OneProxy lookup;
    ProxyChoice proxies;
    RoutedExchange routed;
    ReachedProbes probes;
};

}

Q_DECLARE_METATYPE(QList<Reply>)

class TestTus : public QObject {
    Q_OBJECT
private slots:
    // The requests of one attempt, and what it comes to. -1 in a script stands for the body's size.
    void upload_data()
    {
        QTest::addColumn<QList<Reply>>("script");
        QTest::addColumn<QUrl>("known");        // an upload a resend goes on with; empty: none yet
        QTest::addColumn<QByteArray>("methods");  // C(reate) P(atch) H(ead), in order
        QTest::addColumn<int>("code");          // the outcome's
        QTest::addColumn<QList<qint64>>("pieces");  // where each PATCH began
        QTest::addColumn<qint64>("pieceBytes");
        const qint64 whole = FormBody(form(), "b").bodySize();
        const QUrl none;
        const QUrl known(QStringLiteral("http://c/files/k"));
        QTest::newRow("made, sent whole") << QList<Reply>{made("/files/1"), at(204, whole)} << none << QByteArray("CP") << 200
                                          << QList<qint64>{0} << qint64(0);
        QTest::newRow("a drop, the offset asked, the rest sent")
            << QList<Reply>{made("/files/1"), dropped(700), at(200, 600), at(204, whole)} << none << QByteArray("CPHP") << 200
            << QList<qint64>{0, 600} << qint64(0);
        QTest::newRow("a 503 during a piece") << QList<Reply>{made("/files/1"), answered(503), at(204, 0), at(204, whole)} << none
                                              << QByteArray("CPHP") << 200 << QList<qint64>{0, 0} << qint64(0);
        QTest::newRow("a resend goes on from the server's offset") << QList<Reply>{at(200, 0), at(204, whole)} << known
                                                                   << QByteArray("HP") << 200 << QList<qint64>{0} << qint64(0);
        QTest::newRow("forgotten: made again, once") << QList<Reply>{answered(404), made("/files/2"), at(204, whole)} << known
                                                     << QByteArray("HCP") << 200 << QList<qint64>{0} << qint64(0);
        QTest::newRow("an offset past what was sent is refused")
            << QList<Reply>{made("/files/1"), at(204, 300), dropped(100), at(200, 700)} << none << QByteArray("CPPH")
            << int(ExitCode::ProtocolFailure) << QList<qint64>{0, 300} << qint64(300);
        QTest::newRow("a 204 that goes backwards is asked, and refused")
            << QList<Reply>{made("/files/1"), at(204, 300), at(204, 200), at(200, 200)} << none << QByteArray("CPPH")
            << int(ExitCode::ProtocolFailure) << QList<qint64>{0, 300} << qint64(0);
        QTest::newRow("a refusal ends it") << QList<Reply>{made("/files/1"), answered(413)} << none << QByteArray("CP") << 413
                                           << QList<qint64>{0} << qint64(0);
        QTest::newRow("a creation without Location") << QList<Reply>{answered(201)} << none << QByteArray("C")
                                                     << int(ExitCode::ProtocolFailure) << QList<qint64>{} << qint64(0);
        QTest::newRow("the creation redirected") << QList<Reply>{redirect(307, "/v2/files"), made("/v2/files/1"), at(204, whole)}
                                                 << none << QByteArray("CCP") << 200 << QList<qint64>{0} << qint64(0);
    }

    void upload()
    {
        QFETCH(QList<Reply>, script);
        QFETCH(QUrl, known);
        QFETCH(QByteArray, methods);
        QFETCH(QList<qint64>, pieces);
        QFETCH(qint64, pieceBytes);
        Network network(script);
        ScriptedExchange& exchange = network.exchange;
        TusUpload::Settings settings;
        settings.eventId = "ev";
        settings.fileName = "ev.zip";
        settings.originHeaders = {{"X-Given", "h"}};
        settings.creationHeaders = {{"Idempotency-Key", "k"}};
        settings.pieceBytes = pieceBytes;
        TusUpload tus(network.routed, network.probes, settings);
        FormBody body(form(), "b");
        QVERIFY(body.open(QIODevice::ReadOnly));
        const QByteArray whole = body.readAll();
        TusUpload::Progress progress;
        progress.url = known;
        progress.sent = known.isEmpty() ? 0 : whole.size();  // a run before sent it all, unconfirmed
        const PostResult result = tus.upload(QUrl(QStringLiteral("http://c/files")), body, QDeadlineTimer(5000), progress);
        QByteArray asked;
        QList<qint64> began;
        for (const ExchangeRequest& request : qAsConst(exchange.requests)) {
            asked += "?CPH"[int(request.kind) - int(ExchangeRequest::Kind::Options)];
            QCOMPARE(request.headers.first(), (RequestHeaders::Header{"X-Given", "h"}));
            QCOMPARE(request.headers.contains({"Idempotency-Key", "k"}), request.kind == ExchangeRequest::Kind::Create);
            QVERIFY(request.headers.contains({"Tus-Resumable", "1.0.0"}));
            if (request.kind == ExchangeRequest::Kind::Patch)
                began.append(request.headers.at(2).second.toLongLong());
        }
        QCOMPARE(asked, methods);
        QTEST(result.outcome.code, "code");
        QCOMPARE(began, pieces);
        // Each piece is the body from where it began.
        for (int i = 0; i < began.size(); ++i)
            QCOMPARE(exchange.bodies.at(i), whole.mid(int(began.at(i)), pieceBytes ? int(pieceBytes) : -1));
        if (methods.startsWith('C'))
            QCOMPARE(exchange.requests.first().headers.at(3).second, QByteArray::number(whole.size()));  // Upload-Length
        if (result.outcome.code == 200)
            QCOMPARE(progress.confirmed, qint64(whole.size()));
    }

    // Through a proxy that asks for Kerberos, each request carries a token of its own, as the
    // post's do: on the request when forwarded, on the CONNECT when tunnelled. No probe goes
    // first: the creation, without a body, settles the proxy's authentication.
    void throughAKerberosProxy_data()
    {
        QTest::addColumn<QString>("url");
        QTest::addColumn<bool>("ticket");
        QTest::addColumn<QByteArray>("methods");
        QTest::addColumn<int>("code");
        QTest::addColumn<bool>("forwarded");  // http:// once the proxy refused to tunnel it
        QTest::newRow("forwarded") << QStringLiteral("http://c/files") << true << QByteArray("CP") << 200 << true;
        QTest::newRow("tunnelled") << QStringLiteral("https://c/files") << true << QByteArray("CP") << 200 << false;
        QTest::newRow("no ticket") << QStringLiteral("http://c/files") << false << QByteArray() << 407 << true;
    }
    void throughAKerberosProxy()
    {
        QFETCH(QString, url);
        QFETCH(bool, ticket);
        const qint64 whole = FormBody(form(), "b").bodySize();
        ScriptedTokens tokens;
        tokens.token = ticket ? TokenSource::Token{TokenSource::Token::End::Made, "Negotiate t", QString()}
                              : TokenSource::Token{TokenSource::Token::End::Refused, QByteArray(), QStringLiteral("no Kerberos credentials")};
        Network network({made("/files/1"), at(204, whole)}, &tokens);
        ScriptedExchange& exchange = network.exchange;
        network.lookup.proxy = {ProxyUse::Kind::Http, QStringLiteral("proxy"), 3128, QStringLiteral("http://proxy:3128"), false, QByteArray()};
        QFETCH(bool, forwarded);
        if (forwarded)
            network.proxies.refusedTunnel(network.lookup.proxy);
        TusUpload tus(network.routed, network.probes, TusUpload::Settings());
        FormBody body(form(), "b");
        QVERIFY(body.open(QIODevice::ReadOnly));
        TusUpload::Progress progress;
        PostResult result;
        captureOutput([&] { result = tus.upload(QUrl(url), body, QDeadlineTimer(5000), progress); });
        QTEST(result.outcome.code, "code");
        QByteArray asked;
        const bool tunnelled = !forwarded;
        for (const ExchangeRequest& request : qAsConst(exchange.requests)) {
            asked += "?CPH"[int(request.kind) - int(ExchangeRequest::Kind::Options)];
            QCOMPARE(request.headers.contains({"Proxy-Authorization", "Negotiate t"}), !tunnelled);
            QCOMPARE(request.proxy.connectAuthorization, tunnelled ? QByteArray("Negotiate t") : QByteArray());
        }
        QTEST(asked, "methods");
        QCOMPARE(result.proxy, QStringLiteral("http://proxy:3128"));
    }

    // While the body is still written: made with its length deferred, each final piece sent;
    // then the rest, whose last piece declares the length, without asking where it stands
    // unless a piece failed.
    void sentWhileWritten_data()
    {
        QTest::addColumn<QList<qint64>>("ready");  // what is final at each look; the body is whole after them
        QTest::addColumn<QList<Reply>>("script");
        QTest::addColumn<QByteArray>("methods");
        QTest::addColumn<QList<qint64>>("pieces");
        const qint64 whole = FormBody(form(), "b").bodySize();
        const Reply deferred{200, 0, QString(), QString(), {{"Upload-Offset", "400"}, {"Upload-Defer-Length", "1"}}};
        QTest::newRow("two pieces, then the last") << QList<qint64>{400, 900}
                                                   << QList<Reply>{made("/files/1"), at(204, 400), at(204, 900), at(204, whole)}
                                                   << QByteArray("CPPP") << QList<qint64>{0, 400, 900};
        QTest::newRow("a piece dropped: asked, then the rest")
            << QList<qint64>{400, 900} << QList<Reply>{made("/files/1"), at(204, 400), dropped(300), deferred, at(204, whole)}
            << QByteArray("CPPHP") << QList<qint64>{0, 400, 400};
        QTest::newRow("whole at once: made with its length") << QList<qint64>{}
                                                             << QList<Reply>{made("/files/1"), at(204, whole)}
                                                             << QByteArray("CP") << QList<qint64>{0};
    }
    void sentWhileWritten()
    {
        QFETCH(QList<qint64>, ready);
        QFETCH(QList<Reply>, script);
        Network network(script);
        ScriptedExchange& exchange = network.exchange;
        TusUpload tus(network.routed, network.probes, TusUpload::Settings());
        int looks = 0;
        const TusUpload::WrittenSoFar written = [&](qint64 /*confirmed*/) {
            TusUpload::Written now;
            now.body = std::make_unique<FormBody>(form(), "b");
            now.body->open(QIODevice::ReadOnly);
            now.whole = looks >= ready.size();
            now.ready = now.whole ? now.body->bodySize() : ready.at(looks);
            ++looks;
            return now;
        };
        TusUpload::Progress progress;
        FormBody body(form(), "b");
        QVERIFY(body.open(QIODevice::ReadOnly));
        const QByteArray bytes = body.readAll();
        PostResult result;
        captureOutput([&] {
            tus.stream(QUrl(QStringLiteral("http://c/files")), written, QDeadlineTimer(5000), progress);
            result = tus.upload(QUrl(QStringLiteral("http://c/files")), body, QDeadlineTimer(5000), progress);
        });
        QCOMPARE(result.outcome.code, 200);
        QByteArray asked;
        QList<qint64> began;
        for (const ExchangeRequest& request : qAsConst(exchange.requests)) {
            asked += "?CPH"[int(request.kind) - int(ExchangeRequest::Kind::Options)];
            const auto has = [&request](const QByteArray& name) {
                return std::any_of(request.headers.begin(), request.headers.end(),
                                   [&name](const RequestHeaders::Header& header) { return header.first == name; });
            };
            if (request.kind == ExchangeRequest::Kind::Create)
                QCOMPARE(has("Upload-Defer-Length"), !ready.isEmpty());
            if (request.kind != ExchangeRequest::Kind::Patch)
                continue;
            began.append(request.headers.at(1).second.toLongLong());
            // Only the piece that ends a body made without its length declares it.
            const bool last = &request == &exchange.requests.constLast();
            QCOMPARE(has("Upload-Length"), last && !ready.isEmpty());
        }
        QTEST(asked, "methods");
        QTEST(began, "pieces");
        // Each piece is the body's bytes from where it began; the last one runs to the end.
        for (int i = 0; i < began.size(); ++i) {
            const QByteArray& sent = exchange.bodies.at(i);
            QVERIFY(!sent.isEmpty());
            QCOMPARE(sent, bytes.mid(int(began.at(i)), sent.size()));
        }
        QCOMPARE(began.constLast() + exchange.bodies.constLast().size(), qint64(bytes.size()));
    }

    // With the parts' digests (--hash-parts), each piece carries its own where the server
    // offers the checksum extension: the strongest of sha256 and sha1, asked each attempt.
    void checksums_data()
    {
        QTest::addColumn<QList<Reply>>("script");
        QTest::addColumn<QByteArray>("methods");
        QTest::addColumn<QByteArray>("algorithm");  // of each PATCH's Upload-Checksum; empty: none
        const qint64 whole = FormBody(form(), "b").bodySize();
        const auto offers = [](const char* extensions, const char* algorithms) {
            return Reply{204, 0, QString(), QString(), {{"Tus-Extension", extensions}, {"Tus-Checksum-Algorithm", algorithms}}};
        };
        QTest::newRow("sha256 offered") << QList<Reply>{offers("creation, checksum", "md5,sha1, SHA256"), made("/files/1"), at(204, whole)}
                                        << QByteArray("OCP") << QByteArray("sha256");
        QTest::newRow("sha1 only") << QList<Reply>{offers("checksum", "crc32,sha1"), made("/files/1"), at(204, whole)}
                                   << QByteArray("OCP") << QByteArray("sha1");
        QTest::newRow("no extension") << QList<Reply>{offers("creation,termination", "sha256"), made("/files/1"), at(204, whole)}
                                      << QByteArray("OCP") << QByteArray();
        QTest::newRow("none it knows") << QList<Reply>{offers("checksum", "md5"), made("/files/1"), at(204, whole)}
                                       << QByteArray("OCP") << QByteArray();
        QTest::newRow("no answer") << QList<Reply>{dropped(0), made("/files/1"), at(204, whole)} << QByteArray("OCP") << QByteArray();
        QTest::newRow("a digest that did not match: asked, sent again")
            << QList<Reply>{offers("checksum", "sha1"), made("/files/1"), answered(460), at(200, 0), at(204, whole)}
            << QByteArray("OCPHP") << QByteArray("sha1");
    }
    void checksums()
    {
        QFETCH(QList<Reply>, script);
        QFETCH(QByteArray, algorithm);
        Network network(script);
        ScriptedExchange& exchange = network.exchange;
        TusUpload::Settings settings;
        settings.checksums = true;
        TusUpload tus(network.routed, network.probes, settings);
        FormBody body(form(), "b");
        QVERIFY(body.open(QIODevice::ReadOnly));
        const QByteArray whole = body.readAll();
        TusUpload::Progress progress;
        PostResult result;
        captureOutput([&] { result = tus.upload(QUrl(QStringLiteral("http://c/files")), body, QDeadlineTimer(5000), progress); });
        QCOMPARE(result.outcome.code, 200);
        QByteArray asked;
        int patches = 0;
        for (const ExchangeRequest& request : qAsConst(exchange.requests)) {
            asked += "OCPH"[int(request.kind) - int(ExchangeRequest::Kind::Options)];
            if (request.kind != ExchangeRequest::Kind::Patch)
                continue;
            QByteArray sent;
            for (const RequestHeaders::Header& header : request.headers)
                if (header.first == "Upload-Checksum")
                    sent = header.second;
            const QByteArray& bytes = exchange.bodies.at(patches++);
            QCOMPARE(bytes, whole);
            const QCryptographicHash::Algorithm kind = algorithm == "sha256" ? QCryptographicHash::Sha256 : QCryptographicHash::Sha1;
            QCOMPARE(sent, algorithm.isEmpty() ? QByteArray() : algorithm + ' ' + QCryptographicHash::hash(bytes, kind).toBase64());
        }
        QTEST(asked, "methods");
    }

    void terminated()
    {
        Network network({answered(204)});
        const ScriptedExchange& exchange = network.exchange;
        TusUpload tus(network.routed, network.probes, TusUpload::Settings());
        TusUpload::Progress progress;
        QVERIFY(tus.terminate(progress, QDeadlineTimer(5000)));  // none made
        QVERIFY(exchange.requests.isEmpty());
        progress.url = QUrl(QStringLiteral("http://c/files/1"));
        QVERIFY(tus.terminate(progress, QDeadlineTimer(5000)));
        QCOMPARE(exchange.requests.size(), 1);
        QCOMPARE(int(exchange.requests.first().kind), int(ExchangeRequest::Kind::Delete));
        QCOMPARE(exchange.requests.first().url, progress.url);
        QVERIFY(exchange.requests.first().headers.contains({"Tus-Resumable", "1.0.0"}));
    }

    void metadataAndOffsets()
    {
        QCOMPARE(TusUpload::metadata("multipart/form-data; boundary=\"b\"", "ev", "ev.zip"),
                 QByteArray("filetype bXVsdGlwYXJ0L2Zvcm0tZGF0YTsgYm91bmRhcnk9ImIi,eventId ZXY=,filename ZXYuemlw"));
        TusUpload::Progress progress;
        progress.confirmed = 100;
        progress.sent = 400;
        QVERIFY(TusUpload::isPossibleOffset(100, progress, 1000) && TusUpload::isPossibleOffset(400, progress, 1000));
        QVERIFY(!TusUpload::isPossibleOffset(99, progress, 1000));   // backwards
        QVERIFY(!TusUpload::isPossibleOffset(401, progress, 1000));  // past what was sent
        QVERIFY(!TusUpload::isPossibleOffset(-1, progress, 1000));
    }
};

QTEST_GUILESS_MAIN(TestTus)
#include "tst_tus.moc"
