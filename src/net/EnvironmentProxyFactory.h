#ifndef ENVIRONMENTPROXYFACTORY_H
#define ENVIRONMENTPROXYFACTORY_H

#include <QList>
#include <QNetworkProxyFactory>
#include <QProcessEnvironment>
#include <QStringList>

#include "parse/ProxySetting.h"

// curl's rules for the proxy environment variables, which --system-proxy follows:
//  - http:  http_proxy (lower case only), then all_proxy / ALL_PROXY;
//  - https: https_proxy / HTTPS_PROXY, then all_proxy / ALL_PROXY, then
//           http_proxy, which networks that set only that one rely on;
//  - no_proxy (or else NO_PROXY): host names separated by commas; an entry
//    matches the host itself and every name under it, a leading dot is
//    ignored, and "*" matches every host.
// The first variable that is set decides; one that holds no usable proxy URL
// is skipped, and listed in problems().
class EnvironmentProxyFactory : public QNetworkProxyFactory {
public:
    explicit EnvironmentProxyFactory(const QProcessEnvironment& environment);

    QList<QNetworkProxy> queryProxy(const QNetworkProxyQuery& query) override;
    // The proxy for a request to url; NoProxy when it goes direct.
    QNetworkProxy proxyFor(const QUrl& url) const;
    // One line per variable that was skipped; none of them shows the value.
    const QStringList& problems() const;

private:
    struct Candidate {
        QString variable;
        ProxySetting proxy;
    };

    QList<Candidate> candidates(const QProcessEnvironment& environment, const QStringList& variables);
    bool bypasses(const QString& host) const;

    QList<Candidate> httpProxies;
    QList<Candidate> httpsProxies;
    QStringList noProxy;  // lower case, without a leading dot or brackets
    QStringList problemLines;
};

#endif
