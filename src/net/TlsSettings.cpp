#include "net/TlsSettings.h"

#include <QSslSocket>

namespace TlsSettings {

namespace {

bool configured(const TransportOptions& transport)
{
    return transport.caCertificates.isSet() || !transport.clientCertificate.isEmpty();
}

}

std::optional<QSslConfiguration> forTransport(const TransportOptions& transport)
{
    if (!configured(transport))
        return std::nullopt;
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    if (transport.caCertificates.isSet()) {
        tls.setCaCertificates(transport.caCertificates.certificates());
        tls.setPeerVerifyMode(QSslSocket::VerifyPeer);
    }
    if (!transport.clientCertificate.isEmpty()) {
        tls.setLocalCertificateChain(transport.clientCertificate.chain);
        tls.setPrivateKey(*transport.clientCertificate.key);
    }
    return tls;
}

void applyTo(QNetworkRequest& request, const TransportOptions& transport)
{
    if (const std::optional<QSslConfiguration> tls = forTransport(transport))
        request.setSslConfiguration(*tls);
}

void prepare(const TransportOptions& transport, const QUrl& url)
{
    if (url.scheme() != QLatin1String("https") && !configured(transport))
        return;
    QSslSocket::supportsSsl();
    transport.caCertificates.certificates();
}

}
