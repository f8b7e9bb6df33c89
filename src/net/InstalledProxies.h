#ifndef INSTALLEDPROXIES_H
#define INSTALLEDPROXIES_H

#include <QNetworkProxy>
#include <QUrl>

#include "post/ProxyChoice.h"

// The proxies of the run, by the rule installed for the process (ProxyInstallation).
class InstalledProxies : public ProxyLookup {
public:
    ProxyUse proxyFor(const QUrl& url) override;

    // The installed proxy for url, as Qt takes it for a request that goes as use says:
    // through a tunnel for an http:// URL too, and with a CONNECT token of the run's own.
    static QNetworkProxy forRequest(const ProxyUse& use, const QUrl& url);
};

#endif
