#ifndef PROXYCHECK_H
#define PROXYCHECK_H

#include <QNetworkProxy>
#include <QString>
#include <QUrl>

// Where a proxy stands in an exchange: whether a body may be sent through it
// yet, and whether a failure was the proxy's own.
namespace ProxyCheck {

// An http:// request forwarded by an HTTP proxy: a proxy that asks for
// credentials answers 407 as soon as it has the headers, and Qt reads that
// answer only after the whole body, which the proxy may never take. A request
// without a body settles the proxy's authentication first.
bool needsProbe(const QNetworkProxy& proxy, const QUrl& url);

// How far a failure is the proxy's. statusCode is the program's code for the
// exchange, httpStatus the reply's HTTP status (0 without one), tunnelUp
// whether a TLS session through the proxy was established. When the proxy
// is at fault, statusCode becomes a proxy code (17 to 21, 26), or stays 407,
// and message names the proxy; otherwise both stay as they are.
void blameProxy(const QNetworkProxy& proxy, const QUrl& url, int httpStatus, bool tunnelUp, int& statusCode,
               QString& message);

// The proxy wants credentials that are missing or wrong (407, or 21).
bool isAuthenticationRefused(int statusCode);

// The proxy would not open a tunnel for an http:// URL (many allow CONNECT to
// port 443 only): the request is to be forwarded instead.
// qtText is Qt's error text for the exchange, bytesSent how much of the body left.
bool isTunnelRefused(const QNetworkProxy& proxy, const QUrl& url, const QString& qtText, qint64 bytesSent);

}

#endif
