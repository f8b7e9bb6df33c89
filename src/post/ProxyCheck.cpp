#include "post/ProxyCheck.h"

#include "support/exitcodes.h"

namespace {

const int reach_timeout_ms = 5000;

// Connects to the proxy itself, directly: 0 when it answers, else why not.
int reachProxy(const Route& route, Probes& probes, std::optional<Outcome>& stopped)
{
    const Probes::Knock knock = probes.knock(route.proxyHost, route.proxyPort, QByteArray(), reach_timeout_ms, 0);
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

bool isTunnelRefused(const Route& route, const ReplyFacts& facts)
{
    // Qt's text for a CONNECT answered with anything but 200 or 407; nothing of the form has left.
    return route.plainHttpThroughProxy(facts.url) && route.tunnel
        && facts.errorText == QLatin1String("Proxy denied connection") && facts.bytesSent == 0;
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
