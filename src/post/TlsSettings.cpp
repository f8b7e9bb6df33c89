#include "post/TlsSettings.h"

namespace TlsSettings {

bool forTransport(const TransportOptions& transport, QSslConfiguration& tls)
{
    if (transport.caCertificates.isEmpty() && transport.clientCertificate.isEmpty())
        return false;
    tls = QSslConfiguration::defaultConfiguration();
    if (!transport.caCertificates.isEmpty()) {
        tls.setCaCertificates(transport.caCertificates);
        tls.setPeerVerifyMode(QSslSocket::VerifyPeer);
    }
    if (!transport.clientCertificate.isEmpty()) {
        tls.setLocalCertificateChain(transport.clientCertificate.chain);
        tls.setPrivateKey(transport.clientCertificate.key);
    }
    return true;
}

}
