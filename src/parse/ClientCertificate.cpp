#include "parse/ClientCertificate.h"

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <memory>

#include "parse/FileLimits.h"
#include "support/PosixFiles.h"

namespace {

// The whole of a small regular file: a device or a pipe could be read for ever.
bool readSmallFile(const QString& path, QByteArray& data)
{
    QString why;
    return PosixFiles::readNamedFile(path, FileLimits::credential, data, why) == PosixFiles::Read::Ok;
}

// Qt has no way to ask whether a key belongs to a certificate; OpenSSL, which
// Qt uses underneath, does.
bool keyMatches(const QByteArray& certificatePem, const QByteArray& keyPem, const QByteArray& passphrase)
{
    using Bio = std::unique_ptr<BIO, decltype(&BIO_free)>;
    Bio certBio(BIO_new_mem_buf(certificatePem.constData(), int(certificatePem.size())), BIO_free);
    Bio keyBio(BIO_new_mem_buf(keyPem.constData(), int(keyPem.size())), BIO_free);
    if (!certBio || !keyBio)
        return false;
    std::unique_ptr<X509, decltype(&X509_free)> certificate(PEM_read_bio_X509(certBio.get(), nullptr, nullptr, nullptr),
                                                           X509_free);
    QByteArray pass = passphrase;  // OpenSSL takes it as a writable C string
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(
        PEM_read_bio_PrivateKey(keyBio.get(), nullptr, nullptr, pass.data()), EVP_PKEY_free);
    return certificate && key && X509_check_private_key(certificate.get(), key.get()) == 1;
}

}

bool ClientCertificate::load(const QString& certFile, const QString& keyFile, const QString& passFile,
                             ClientCertificate& loaded, QString& option, QString& file, QString& why)
{
    auto fail = [&](const char* name, const QString& path, const char* reason) {
        option = QLatin1String(name);
        file = path;
        why = QLatin1String(reason);
        return false;
    };
    if (certFile.isEmpty() != keyFile.isEmpty())
        return certFile.isEmpty() ? fail("--mtls-key", keyFile, "needs --mtls-cert too")
                                  : fail("--mtls-cert", certFile, "needs --mtls-key too");
    if (certFile.isEmpty()) {
        if (!passFile.isEmpty())
            return fail("--mtls-pass", passFile, "needs --mtls-cert and --mtls-key");
        return true;
    }

    QByteArray certificatePem;
    QByteArray keyPem;
    QByteArray passphrase;
    if (!readSmallFile(certFile, certificatePem))
        return fail("--mtls-cert", certFile, "a readable PEM file");
    const QList<QSslCertificate> chain = QSslCertificate::fromData(certificatePem, QSsl::Pem);
    if (chain.isEmpty())
        return fail("--mtls-cert", certFile, "a PEM file with a certificate");
    if (!readSmallFile(keyFile, keyPem))
        return fail("--mtls-key", keyFile, "a readable PEM file");
    if (!passFile.isEmpty()) {
        if (!readSmallFile(passFile, passphrase))
            return fail("--mtls-pass", passFile, "a readable file");
        passphrase = passphrase.split('\n').first();
        if (passphrase.endsWith('\r'))
            passphrase.chop(1);
    }
    QSslKey key;
    for (const QSsl::KeyAlgorithm algorithm : {QSsl::Rsa, QSsl::Ec, QSsl::Dsa}) {
        key = QSslKey(keyPem, algorithm, QSsl::Pem, QSsl::PrivateKey, passphrase);
        if (!key.isNull())
            break;
    }
    if (key.isNull())
        return fail("--mtls-key", keyFile,
                    passFile.isEmpty() ? "an unencrypted PEM private key, or give its passphrase with --mtls-pass"
                                       : "a PEM private key that this passphrase opens");
    if (!keyMatches(certificatePem, keyPem, passphrase))
        return fail("--mtls-key", keyFile, "the private key of the --mtls-cert certificate");
    loaded.chain = chain;
    loaded.key = std::make_shared<const QSslKey>(key);
    return true;
}
