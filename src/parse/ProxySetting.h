#ifndef PROXYSETTING_H
#define PROXYSETTING_H

#include <QNetworkProxy>
#include <QString>

// A proxy as the user names it, in --proxy or in the environment:
// [SCHEME://][USER[:PASSWORD]@]HOST[:PORT][/], parsed once.
struct ProxySetting {
    enum Scheme { Http, Socks5, Socks5h };

    Scheme scheme = Http;
    QString host;
    quint16 port = 0;
    QString user;      // percent-decoded; one character per byte
    QString password;  // percent-decoded; never shown

    // SCHEME is http (the default), socks5 (names resolved here) or socks5h
    // (names resolved by the proxy). The port defaults to 8080 for http and
    // 1080 for SOCKS. False, leaving proxy as it was, for anything else.
    static bool parse(const QString& text, ProxySetting& proxy);

    // A --proxy value as it may be shown: the password, if any, left out.
    static QString withoutPassword(const QString& text);
    // Where a proxy value's password lies, [start, end), by the rule that parse reads it with:
    // the credentials run from after any scheme to the last '@', the password from their
    // first ':'. False when there is none. The same for the bytes of the command line.
    static bool passwordSpan(const QByteArray& text, int& start, int& end);

    // The proxy as Qt installs it, credentials included.
    QNetworkProxy toNetworkProxy() const;
};

#endif
