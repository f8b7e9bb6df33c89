#include "net/ProxyInstallation.h"

#include <QNetworkProxy>
#include <QNetworkProxyFactory>
#include <QProcessEnvironment>

#include <memory>

#include "net/EnvironmentProxyFactory.h"
#include "support/console.h"

namespace ProxyInstallation {

void install(TransportOptions::ProxyType type, const ProxySetting& proxy)
{
    QNetworkProxy applicationProxy = QNetworkProxy::applicationProxy();
    switch (type) {
    case TransportOptions::NoProxy:
        applicationProxy.setType(QNetworkProxy::NoProxy);
        break;
    case TransportOptions::SystemProxy:
        applicationProxy.setType(QNetworkProxy::DefaultProxy);
        break;
    case TransportOptions::ManualProxy: {
        const QNetworkProxy manual = proxy.toNetworkProxy();
        applicationProxy.setType(manual.type());
        applicationProxy.setHostName(manual.hostName());
        applicationProxy.setPort(manual.port());
        applicationProxy.setUser(manual.user());
        applicationProxy.setPassword(manual.password());
        applicationProxy.setCapabilities(manual.capabilities());
        break;
    }
    }
    QNetworkProxy::setApplicationProxy(applicationProxy);
    // A DefaultProxy without a factory means no proxy at all; setApplicationProxy
    // drops the factory, so the environment's rules are installed after it.
    if (type == TransportOptions::SystemProxy) {
        auto factory = std::make_unique<EnvironmentProxyFactory>(QProcessEnvironment::systemEnvironment());
        for (const QString& problem : factory->problems())
            Console::err(toConsole(problem));
        QNetworkProxyFactory::setApplicationProxyFactory(factory.release());
    }
}

}
