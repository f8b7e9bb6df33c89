#include <QtTest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include "net/WireProgress.h"

namespace {

// A connected pair on loopback, made without Qt, as Qt's own sockets are: Nagle on.
struct Pair {
    int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    int client = ::socket(AF_INET, SOCK_STREAM, 0);
    int server = -1;
    quint16 port = 0;

    Pair()
    {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(listener, 1) != 0
            || ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0
            || ::connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            return;
        port = ntohs(address.sin_port);
        server = ::accept(listener, nullptr, nullptr);
    }
    ~Pair()
    {
        for (const int fd : {listener, client, server})
            ::close(fd);
    }
    Pair(const Pair&) = delete;
    Pair& operator=(const Pair&) = delete;
};

int noDelay(int fd)
{
    int on = -1;
    socklen_t length = sizeof on;
    ::getsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, &length);
    return on;
}

}

class TestWire : public QObject {
    Q_OBJECT
private slots:
    // Nagle goes on every TCP connection of the process; the answer says whether one went to the peer.
    void sendWithoutDelay_data()
    {
        QTest::addColumn<bool>("toPeer");
        QTest::newRow("the peer's port") << true;
        QTest::newRow("another port") << false;
    }
    void sendWithoutDelay()
    {
        QFETCH(bool, toPeer);
        const Pair pair;
        QVERIFY(pair.server >= 0);
        QCOMPARE(noDelay(pair.client), 0);
        WireProgress wire(toPeer ? pair.port : quint16(pair.port ^ 1));
        QCOMPARE(wire.sendWithoutDelay(), toPeer);
        QCOMPARE(noDelay(pair.client), 1);
        QCOMPARE(noDelay(pair.server), 1);
    }

    // A tunnel's proxy is told asking again and again by its exchanges, not by its bytes: a
    // large request or a large answer is one exchange, each answered request another.
    void exchanges_data()
    {
        QTest::addColumn<int>("requests");
        QTest::addColumn<int>("requestBytes");
        QTest::addColumn<int>("answerBytes");
        QTest::addColumn<quint64>("exchanges");
        QTest::newRow("three short ones") << 3 << 200 << 300 << quint64(3);
        QTest::newRow("a 1 MiB answer") << 1 << 200 << (1 << 20) << quint64(1);
        QTest::newRow("a 1 MiB request") << 1 << (1 << 20) << 300 << quint64(1);
        QTest::newRow("twenty, as a loop has them") << 20 << 200 << 1500 << quint64(20);
    }
    void exchanges()
    {
        QFETCH(int, requests);
        QFETCH(int, requestBytes);
        QFETCH(int, answerBytes);
        const Pair pair;
        QVERIFY(pair.server >= 0);
        WireProgress wire(pair.port);
        wire.advanced();
        const std::string request(size_t(requestBytes), 'q');
        const std::string answer(size_t(answerBytes), 'a');
        std::string buffer(size_t(std::max(requestBytes, answerBytes)), '\0');
        auto move = [&buffer](int from, int to, const std::string& data) {
            QCOMPARE(::write(from, data.data(), data.size()), ssize_t(data.size()));
            for (size_t got = 0; got < data.size();) {
                const ssize_t n = ::read(to, buffer.data(), data.size() - got);
                QVERIFY(n > 0);
                got += size_t(n);
            }
        };
        for (int i = 0; i < requests; ++i) {
            move(pair.client, pair.server, request);
            move(pair.server, pair.client, answer);
        }
        wire.advanced();
        QTEST(quint64(wire.exchanges()), "exchanges");
    }
};

QTEST_APPLESS_MAIN(TestWire)
#include "tst_wire.moc"
