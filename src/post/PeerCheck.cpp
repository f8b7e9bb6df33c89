#include "post/PeerCheck.h"

#include "support/exitcodes.h"

namespace PeerCheck {

namespace {
const int connect_timeout_ms = 5000;
const int answer_timeout_ms = 2000;
const int tls_alert = 0x15;
const int tls_handshake = 0x16;
}

quint16 portOf(const QUrl& url)
{
    return quint16(url.port(url.scheme() == QLatin1String("https") ? 443 : 80));
}

bool sameOrigin(const QUrl& a, const QUrl& b)
{
    return a.scheme() == b.scheme() && a.host() == b.host() && portOf(a) == portOf(b);
}

bool isPostable(const QUrl& url)
{
    // QUrl keeps a scheme in lower case.
    return url.isValid() && !url.host().isEmpty()
        && (url.scheme() == QLatin1String("http") || url.scheme() == QLatin1String("https"));
}

std::optional<Outcome> explainUnknown(const QUrl& url, ErrorDetail detail, const QString& qtText, Probes& probes)
{
    if (detail == ErrorDetail::HostUnreachable || detail == ErrorDetail::NetworkUnreachable)
        return Outcome::transport(ExitCode::TemporaryNetworkFailure, qtText);
    if (detail != ErrorDetail::Unexplained)
        return std::nullopt;
    const bool https = url.scheme() == QLatin1String("https");
    // A line end, which an HTTP server ignores before a request, then the end of what is sent: a TLS
    // server answers it with an alert. No request is made of the collector.
    Probes::Ask ask;
    ask.sent = https ? QByteArray() : QByteArray("\r\n");
    ask.endSending = true;
    ask.connectMs = connect_timeout_ms;
    ask.answerMs = answer_timeout_ms;
    const Probes::Knock knock = probes.knock(url.host(), portOf(url), ask);
    if (knock.stopped)
        return knock.stopped;
    if (knock.reach != Probes::Reach::Answered)
        return std::nullopt;  // gone as well: nothing more can be told
    if (!https && (knock.firstByte() == tls_alert || knock.firstByte() == tls_handshake))
        return Outcome::transport(ExitCode::UnknownNetwork,
                                  QStringLiteral("Unknown error: the server answers in TLS (an https:// URL?)"));
    return Outcome::transport(ExitCode::RemoteHostClosed, QStringLiteral("Connection reset by peer"));
}

}
