#include "net/TlsSettings.h"

#include <QSslSocket>

namespace TlsSettings {

bool forTransport(const TransportOptions& transport, QSslConfiguration& tls)
{
    if (!transport.caCertificates.isSet() && transport.clientCertificate.isEmpty())
        return false;
    tls = QSslConfiguration::defaultConfiguration();
    if (transport.caCertificates.isSet()) {
        tls.setCaCertificates(transport.caCertificates.certificates());
        tls.setPeerVerifyMode(QSslSocket::VerifyPeer);
    }
    if (!transport.clientCertificate.isEmpty()) {
        tls.setLocalCertificateChain(transport.clientCertificate.chain);
        tls.setPrivateKey(*transport.clientCertificate.key);
    }
    return true;
}

void applyTo(QNetworkRequest& request, const TransportOptions& transport)
{
    QSslConfiguration tls;
    if (forTransport(transport, tls))
        request.setSslConfiguration(tls);
}

void prepare(const TransportOptions& transport, const QUrl& url)
{
    if (url.scheme() != QLatin1String("https") && !transport.caCertificates.isSet() && transport.clientCertificate.isEmpty())
        return;
    QSslSocket::supportsSsl();
    transport.caCertificates.certificates();
}

}
