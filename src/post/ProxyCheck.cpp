#include "post/ProxyCheck.h"

#include <QTcpSocket>

#include "parse/ProxySetting.h"
#include "support/UrlDisplay.h"
#include "support/exitcodes.h"

namespace {

const int reach_timeout_ms = 5000;

// Connects to the proxy itself, directly: 0 when it answers, else why not.
int reachProxy(const QNetworkProxy& proxy)
{
    QTcpSocket socket;
    socket.setProxy(QNetworkProxy::NoProxy);
    socket.connectToHost(proxy.hostName(), proxy.port());
    if (socket.waitForConnected(reach_timeout_ms))
        return ExitCode::Success;
    switch (socket.error()) {
    case QAbstractSocket::HostNotFoundError: return ExitCode::ProxyNotFound;
    case QAbstractSocket::ConnectionRefusedError: return ExitCode::ProxyConnectionRefused;
    case QAbstractSocket::SocketTimeoutError: return ExitCode::ProxyTimeout;
    default: return ExitCode::Success;
    }
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

bool needsProbe(const QNetworkProxy& proxy, const QUrl& url)
{
    return proxy.type() == QNetworkProxy::HttpProxy && url.scheme() == QLatin1String("http")
        && proxy.capabilities().testFlag(QNetworkProxy::CachingCapability);
}

bool isTunnelRefused(const QNetworkProxy& proxy, const QUrl& url, const QString& qtText, qint64 bytesSent)
{
    // Qt's text for a CONNECT answered with anything but 200 or 407; nothing of the form has left.
    return proxy.type() == QNetworkProxy::HttpProxy && url.scheme() == QLatin1String("http")
        && !proxy.capabilities().testFlag(QNetworkProxy::CachingCapability)
        && qtText == QLatin1String("Proxy denied connection") && bytesSent == 0;
}


bool isAuthenticationRefused(int statusCode)
{
    return statusCode == ExitCode::ProxyAuthenticationRequired || statusCode == HttpStatus::ProxyAuthenticationRequired;
}

void blameProxy(const QNetworkProxy& proxy, const QUrl& url, int httpStatus, bool tunnelUp, int& statusCode,
               QString& message)
{
    if (proxy.type() == QNetworkProxy::NoProxy || (httpStatus != 0 && httpStatus != HttpStatus::ProxyAuthenticationRequired))
        return;
    int code = statusCode;
    switch (statusCode) {
    case ExitCode::ConnectionRefused:
    case ExitCode::RemoteHostClosed:
    case ExitCode::HostNotFound:
    case ExitCode::Timeout:
    case ExitCode::UnknownNetwork: {
        // Qt blames the collector for most of what happens on the way to
        // the proxy: ask the proxy itself.
        const int reach = reachProxy(proxy);
        const bool plainHttpProxy = proxy.type() == QNetworkProxy::HttpProxy;
        if (reach != ExitCode::Success)
            code = reach;
        else if (plainHttpProxy && url.scheme() == QLatin1String("http") && statusCode == ExitCode::RemoteHostClosed)
            code = ExitCode::ProxyConnectionClosed;  // the proxy is the only peer of a plain request
        else if (plainHttpProxy && url.scheme() == QLatin1String("https") && !tunnelUp
                 && statusCode == ExitCode::UnknownNetwork)
            code = ExitCode::UnknownProxy;  // the proxy refused to open the tunnel
        break;
    }
    default:
        break;
    }
    if (!isProxyFault(code))
        return;
    statusCode = code;
    message = proxyText(code, message) + QLatin1String(": ") + UrlDisplay::proxyEndpoint(proxy);
}

}
