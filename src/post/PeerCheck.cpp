#include "post/PeerCheck.h"

#include <QNetworkProxy>
#include <QTcpSocket>

#include "support/exitcodes.h"

namespace PeerCheck {

namespace {
const int connect_timeout_ms = 5000;
const int answer_timeout_ms = 2000;
const char tls_alert = 0x15;
const char tls_handshake = 0x16;
}

quint16 portOf(const QUrl& url)
{
    return quint16(url.port(url.scheme() == QLatin1String("https") ? 443 : 80));
}

void explainUnknown(const QUrl& url, int& statusCode, QString& message)
{
    // Qt's own texts, given when the kernel refused the connect.
    if (message == QLatin1String("Host unreachable") || message == QLatin1String("Network unreachable")) {
        statusCode = ExitCode::TemporaryNetworkFailure;
        return;
    }
    if (message != QLatin1String("Unknown error"))
        return;
    const bool https = url.scheme() == QLatin1String("https");
    QTcpSocket socket;
    socket.setProxy(QNetworkProxy::NoProxy);
    socket.connectToHost(url.host(), portOf(url));
    if (!socket.waitForConnected(connect_timeout_ms))
        return;  // gone as well: nothing more can be told
    if (!https) {
        // A TLS server answers a plain request with an alert, or not at all.
        socket.write("HEAD / HTTP/1.0\r\n\r\n");
        char first = 0;
        if (socket.waitForReadyRead(answer_timeout_ms) && socket.peek(&first, 1) == 1
            && (first == tls_alert || first == tls_handshake)) {
            message = QStringLiteral("Unknown error: the server answers in TLS (an https:// URL?)");
            return;
        }
    }
    statusCode = ExitCode::RemoteHostClosed;
    message = QStringLiteral("Connection reset by peer");
}

}
