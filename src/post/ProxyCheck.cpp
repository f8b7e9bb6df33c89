#include "post/ProxyCheck.h"

#include "post/PeerCheck.h"
#include "support/UrlDisplay.h"
#include "support/exitcodes.h"

namespace {

const int reach_timeout_ms = 5000;
// How long a tunnel that came up must stay open to be one.
const int tunnel_close_ms = 1000;

// Connects to the proxy itself, directly: 0 when it answers, else why not.
int reachProxy(const Route& route, Probes& probes, std::optional<Outcome>& stopped)
{
    Probes::Ask ask;
    ask.connectMs = reach_timeout_ms;
    const Probes::Knock knock = probes.knock(route.proxyHost, route.proxyPort, ask);
    stopped = knock.stopped;
    switch (knock.reach) {
    case Probes::Reach::NotFound: return ExitCode::ProxyNotFound;
    case Probes::Reach::Refused: return ExitCode::ProxyConnectionRefused;
    case Probes::Reach::TimedOut: return ExitCode::ProxyTimeout;
    case Probes::Reach::Answered:
    case Probes::Reach::Other: return ExitCode::Success;
    }
    return ExitCode::Success;
}

// A close after the tunnel came up is the collector's, or a proxy's that answers 200 and
// closes before a byte goes through: a CONNECT of our own, with nothing sent in it, tells.
bool tunnelClosesAtOnce(const Route& route, const QUrl& url, Probes& probes)
{
    const QByteArray target = UrlDisplay::endpoint(url.host(), PeerCheck::portOf(url)).toLatin1();
    Probes::Ask ask;
    ask.sent = "CONNECT " + target + " HTTP/1.1\r\nHost: " + target + "\r\n\r\n";
    ask.untilClosed = true;
    ask.connectMs = reach_timeout_ms;
    ask.answerMs = tunnel_close_ms;
    const Probes::Knock knock = probes.knock(route.proxyHost, route.proxyPort, ask);
    const QList<QByteArray> statusLine = knock.answer.left(knock.answer.indexOf('\r')).split(' ');
    if (knock.stopped || !statusLine.value(0).startsWith("HTTP/"))
        return false;
    const QByteArray status = statusLine.value(1);
    return status == "200" ? knock.closed : status != "407";
}

// A failure that the proxy caused.
bool isProxyFault(int statusCode)
{
    return (statusCode >= ExitCode::ProxyConnectionRefused && statusCode <= ExitCode::ProxyAuthenticationRequired)
        || statusCode == ExitCode::UnknownProxy || statusCode == HttpStatus::ProxyAuthenticationRequired;
}

QString proxyText(int statusCode, const QString& qtText)
{
    switch (statusCode) {
    case ExitCode::ProxyConnectionRefused: return QStringLiteral("Proxy connection refused");
    case ExitCode::ProxyConnectionClosed: return QStringLiteral("Proxy connection closed");
    case ExitCode::ProxyNotFound: return QStringLiteral("Proxy host not found");
    case ExitCode::ProxyTimeout: return QStringLiteral("Proxy connection timed out");
    case ExitCode::ProxyAuthenticationRequired:
    case HttpStatus::ProxyAuthenticationRequired: return QStringLiteral("Proxy requires authentication");
    default: return qtText;
    }
}

}

namespace ProxyCheck {

bool isAuthenticationRefused(int statusCode)
{
    return statusCode == ExitCode::ProxyAuthenticationRequired || statusCode == HttpStatus::ProxyAuthenticationRequired;
}

Outcome authenticationRefused(const Route& route, const QUrl& url, const QString& text)
{
    return route.plainHttpThroughProxy(url) ? Outcome::answer(HttpStatus::ProxyAuthenticationRequired, text)
                                            : Outcome::transport(ExitCode::ProxyAuthenticationRequired, text);
}

bool isTunnelRefused(const Route& route, const ReplyFacts& facts, Probes& probes)
{
    if (!route.plainHttpThroughProxy(facts.url) || !route.tunnel || facts.httpStatus != 0)
        return false;
    if (facts.end == WaitEnd::PeerGone)
        return facts.bytesSent == 0;  // the proxy closed on the CONNECT, and Qt waited for ever
    if (facts.end != WaitEnd::Finished)
        return false;
    switch (facts.errorCode) {
    // Qt's errors for a CONNECT answered with anything but 200 or 407 (it takes a 404 for the
    // collector's name not found, a 503 for a refusal), or closed before any answer.
    case ExitCode::HostNotFound:
    case ExitCode::ConnectionRefused:
    case ExitCode::ProxyConnectionClosed:
    case ExitCode::UnknownProxy:
        return true;
    case ExitCode::UnknownNetwork:
        if (facts.detail == ErrorDetail::OtherWords)
            return true;  // "Proxy denied connection", "Error communicating with HTTP proxy"
        return tunnelClosesAtOnce(route, facts.url, probes);  // or a reset: the tunnel's, or the collector's?
    case ExitCode::RemoteHostClosed:
        return tunnelClosesAtOnce(route, facts.url, probes);
    default:
        return false;  // the proxy unreachable itself, or asking for credentials: no tunnel question
    }
}

std::optional<Outcome> blameProxy(const Route& route, const ReplyFacts& facts, int code, const QString& text,
                                  Probes& probes)
{
    if (route.isDirect() || (facts.httpStatus != 0 && facts.httpStatus != HttpStatus::ProxyAuthenticationRequired))
        return std::nullopt;
    int blamed = code;
    switch (code) {
    case ExitCode::ConnectionRefused:
    case ExitCode::RemoteHostClosed:
    case ExitCode::HostNotFound:
    case ExitCode::Timeout:
    case ExitCode::UnknownNetwork: {
        // Qt blames the collector for most of what happens on the way to
        // the proxy: ask the proxy itself.
        std::optional<Outcome> stopped;
        const int reach = reachProxy(route, probes, stopped);
        if (stopped)
            return stopped;
        const bool plainHttpProxy = route.via == Route::Via::HttpProxy;
        if (reach != ExitCode::Success)
            blamed = reach;
        else if (route.plainHttpThroughProxy(facts.url) && code == ExitCode::RemoteHostClosed)
            blamed = ExitCode::ProxyConnectionClosed;  // the proxy is the only peer of a plain request
        else if (plainHttpProxy && facts.url.scheme() == QLatin1String("https") && !facts.encrypted
                 && code == ExitCode::UnknownNetwork)
            blamed = ExitCode::UnknownProxy;  // the proxy refused to open the tunnel
        break;
    }
    default:
        break;
    }
    if (!isProxyFault(blamed))
        return std::nullopt;
    return Outcome::answerOrTransport(blamed, proxyText(blamed, text) + QLatin1String(": ") + route.proxyEndpoint());
}

}
