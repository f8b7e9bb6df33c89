#ifndef PROXYSPEC_H
#define PROXYSPEC_H

#include <QNetworkProxy>
#include <QString>

// A proxy as the user names it: parsed once, from --proxy or the environment.
struct ProxySpec {
    QString host;
    quint16 port = 0;

    // "[http://]HOST[:PORT][/]"; a bare host means port 8080, a bracketed IPv6
    // address keeps its colons. False when the host is empty or the port is not 1-65535.
    static bool parse(const QString& text, ProxySpec& spec);

    // The proxy as Qt installs it.
    QNetworkProxy toNetworkProxy() const;
};

#endif
