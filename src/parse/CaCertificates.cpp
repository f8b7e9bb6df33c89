#include "parse/CaCertificates.h"

#include <openssl/bio.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include "parse/FileLimits.h"
#include "support/PosixFiles.h"

namespace {

// OpenSSL reads the PEM here itself, without starting Qt's TLS.
bool holdsCertificate(const QByteArray& pem)
{
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new_mem_buf(pem.constData(), int(pem.size())), BIO_free);
    std::unique_ptr<X509, decltype(&X509_free)> first(bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr)
                                                          : nullptr,
                                                      X509_free);
    return first != nullptr;
}

}

bool CaCertificates::load(const QString& path)
{
    bundle.reset();
    QByteArray text;
    QString why;
    // Only a regular file: a device or a pipe would be read for ever.
    if (PosixFiles::readNamedFile(path, FileLimits::caBundle, text, why) != PosixFiles::Read::Ok || !holdsCertificate(text))
        return false;
    bundle = std::make_shared<Bundle>();
    bundle->pem = text;
    return true;
}

const QList<QSslCertificate>& CaCertificates::certificates() const
{
    static const QList<QSslCertificate> none = QList<QSslCertificate>();
    if (!bundle)
        return none;
    if (!bundle->isMade) {
        bundle->made = QSslCertificate::fromData(bundle->pem, QSsl::Pem);
        bundle->isMade = true;
    }
    return bundle->made;
}
