#include "net/EnvironmentProxyFactory.h"

#include <QUrl>

#include <algorithm>

EnvironmentProxyFactory::EnvironmentProxyFactory(const QProcessEnvironment& environment)
{
    const QString http = QStringLiteral("http_proxy");
    const QString all = QStringLiteral("all_proxy");
    const QString allUpper = QStringLiteral("ALL_PROXY");
    httpProxies = candidates(environment, {http, all, allUpper});
    httpsProxies = candidates(environment, {QStringLiteral("https_proxy"), QStringLiteral("HTTPS_PROXY"), all, allUpper, http});

    QString list = environment.value(QStringLiteral("no_proxy"));
    if (list.isEmpty())
        list = environment.value(QStringLiteral("NO_PROXY"));
    for (QString entry : list.split(QLatin1Char(','))) {
        entry = entry.trimmed().toLower();
        if (entry.startsWith(QLatin1Char('.')))
            entry.remove(0, 1);
        if (entry.startsWith(QLatin1Char('[')) && entry.endsWith(QLatin1Char(']')))
            entry = entry.mid(1, entry.size() - 2);
        if (!entry.isEmpty())
            noProxy.append(entry);
    }
}

QList<EnvironmentProxyFactory::Candidate> EnvironmentProxyFactory::candidates(const QProcessEnvironment& environment,
                                                                              const QStringList& variables)
{
    QList<Candidate> found;
    for (const QString& variable : variables) {
        const QString value = environment.value(variable);
        if (value.isEmpty())
            continue;
        Candidate candidate{variable, ProxySetting()};
        if (ProxySetting::parse(value, candidate.proxy)) {
            found.append(candidate);
        } else {
            const QString line = QStringLiteral("Ignoring %1: not an http, socks5 or socks5h proxy URL").arg(variable);
            if (!problemLines.contains(line))
                problemLines.append(line);
        }
    }
    return found;
}

bool EnvironmentProxyFactory::bypasses(const QString& host) const
{
    const QString name = host.toLower();
    return std::any_of(noProxy.cbegin(), noProxy.cend(), [&name](const QString& entry) {
        return entry == QLatin1String("*") || name == entry || name.endsWith(QLatin1Char('.') + entry);
    });
}

QNetworkProxy EnvironmentProxyFactory::proxyFor(const QUrl& url) const
{
    const QList<Candidate>& list = url.scheme() == QLatin1String("https") ? httpsProxies : httpProxies;
    if (list.isEmpty() || bypasses(url.host()))
        return {QNetworkProxy::NoProxy};
    return list.first().proxy.toNetworkProxy();
}

QList<QNetworkProxy> EnvironmentProxyFactory::queryProxy(const QNetworkProxyQuery& query)
{
    QUrl url = query.url();
    if (url.isEmpty()) {
        url.setScheme(query.protocolTag());
        url.setHost(query.peerHostName());
    }
    return {proxyFor(url)};
}

const QStringList& EnvironmentProxyFactory::problems() const
{
    return problemLines;
}
