#include "net/TlsSettings.h"

#include <QSslSocket>

namespace TlsSettings {

namespace {

bool configured(const TransportOptions& transport)
{
    return transport.caCertificates.isSet() || !transport.clientCertificate.isEmpty();
}

}

bool forTransport(const TransportOptions& transport, QSslConfiguration& tls)
{
    if (!configured(transport))
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
    // Even an empty QSslConfiguration loads the TLS library and reads the system's
    // CA folder: a plain http:// post must not wait for that.
    if (!configured(transport))
        return;
    QSslConfiguration tls;
    forTransport(transport, tls);
    request.setSslConfiguration(tls);
}

void prepare(const TransportOptions& transport, const QUrl& url)
{
    if (url.scheme() != QLatin1String("https") && !configured(transport))
        return;
    QSslSocket::supportsSsl();
    transport.caCertificates.certificates();
}

}
