#ifndef URLDISPLAY_H
#define URLDISPLAY_H

#include <QNetworkProxy>
#include <QString>
#include <QUrl>

// A URL's password is used on the wire and shown nowhere: not on the
// console, not in an error text, not in the report. The user name stays.
namespace UrlDisplay {

// The URL's full text, without its password; unchanged when it has none.
QString text(const QUrl& url);
// The same for a URL's text: returned as it is when it holds no password.
QString text(const QString& urlText);
// A text (such as Qt's error text) with every form of url in it shown without the password.
QString withoutPassword(QString text, const QUrl& url);

// HOST:PORT, with an IPv6 address in brackets.
QString endpoint(const QString& host, quint16 port);
// HOST:PORT of a proxy, for messages: never its user or password.
QString proxyEndpoint(const QNetworkProxy& proxy);
// The proxy as a URL without its password, for the report.
QString proxyUrl(const QNetworkProxy& proxy);

}

#endif
