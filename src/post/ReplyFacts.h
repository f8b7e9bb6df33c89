#ifndef REPLYFACTS_H
#define REPLYFACTS_H

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QUrl>

// The bounds a reply is read within, whatever a peer sends.
namespace ReplyBounds {
constexpr int bodyLimit = 64 * 1024;                   // the start of a body kept for the report
constexpr qint64 replyLimit = qint64(4) << 20;         // a collector's answer is a few lines
constexpr int headerLines = 1000;                      // Qt merges each header line with a search
constexpr int headerBytes = 256 * 1024;                // over the ones before it, in one go
constexpr int handshakeExchanges = 10;                 // a tunnel's, before it is under way: NTLM's
                                                       // three CONNECTs and TLS's two, with room
}

// The proxy that one request goes through, as plain values.
struct ProxyUse {
    enum class Kind { None, Http, Socks };

    Kind kind = Kind::None;
    QString host;
    quint16 port = 0;
    QString shown;                    // SCHEME://USER@HOST:PORT, never the password; empty when direct
    bool tunnelsPlainHttp = false;    // an http:// URL goes through CONNECT too, not forwarded
    QByteArray connectAuthorization;  // a Proxy-Authorization of the run's own for the CONNECT (--kerberos)
};

// How a request went: directly, or through which kind of proxy, and how.
struct Route {
    enum class Via { Direct, HttpProxy, SocksProxy };

    Via via = Via::Direct;
    bool tunnel = false;  // through an HTTP proxy's CONNECT: every https:// URL, and http:// unless refused
    QString proxyHost;
    quint16 proxyPort = 0;

    // The route a request for url takes through proxy.
    static Route of(const ProxyUse& proxy, const QUrl& url);

    bool isDirect() const { return via == Via::Direct; }
    // An http:// URL through an HTTP proxy, tunnelled or forwarded.
    bool plainHttpThroughProxy(const QUrl& url) const;
    // An http:// URL that the HTTP proxy forwards itself, which answers a 407 only after the whole body.
    bool forwards(const QUrl& url) const { return plainHttpThroughProxy(url) && !tunnel; }
    // HOST:PORT of the proxy, for messages: never its user or password.
    QString proxyEndpoint() const;
};

// How the wait for a reply ended.
enum class WaitEnd {
    Finished,
    Idle,             // no byte moved for the idle time
    Deadline,         // --max-time passed
    Interrupted,      // SIGINT or SIGTERM
    TooLarge,         // past ReplyBounds::replyLimit
    HeadersTooLarge,  // past the header lines' bounds
    PeerGone,         // no connection to the peer left while Qt still waited
    ProxyAsksAgain,   // a tunnel's proxy asked for the same credentials again and again
};

// What the exchange could tell of a failure beyond its code, which Qt gives only in its words.
enum class ErrorDetail {
    None,
    HostUnreachable,     // the kernel refused the connect: the host cannot be reached
    NetworkUnreachable,  // nor its network
    Unexplained,         // Qt's bare "Unknown error": a reset, or a TLS server spoken to in plain HTTP
    OtherWords,          // Qt named another cause: a proxy that would not open a tunnel, in its words
};

// What one reply and the wait for it came to, as plain values: all that
// classifying it needs, so that the classification runs without a network.
struct ReplyFacts {
    QUrl url;                     // where the request went
    int httpStatus = 0;           // 0 without one
    QUrl redirectTarget;          // the Location of a redirect, as Qt read it
    int errorCode = 0;            // the program's transport code for the error (ExitCode), 0 without one
    ErrorDetail detail = ErrorDetail::None;
    QString errorText;            // Qt's, without the URL's password
    QStringList tlsReasons;       // why the certificate did not verify, when it did not
    WaitEnd end = WaitEnd::Finished;
    int signal = 0;               // the signal that ended the wait, with WaitEnd::Interrupted
    bool encrypted = false;       // a TLS session came up
    qint64 bytesSent = 0;         // the most of the body that was sent
};

#endif
