#ifndef CACERTIFICATES_H
#define CACERTIFICATES_H

#include <QByteArray>
#include <QList>
#include <QSslCertificate>
#include <QString>

#include <memory>

// The CA certificates of --cacert. The file is read and checked when the
// command line is read; Qt's certificates are made from it only when first
// asked for (TlsSettings::prepare asks while the archiver runs): making the
// first one starts Qt's TLS, some 6 ms that need not come before the archive.
// Copies share what is made.
class CaCertificates {
public:
    // Reads the regular file at path (at most FileLimits::caBundle bytes) and
    // checks that it holds at least one PEM certificate; false when it cannot
    // be read, is not a regular file, is too large or holds none.
    bool load(const QString& path);

    // Whether --cacert was given: the server must then verify against these.
    bool isSet() const { return bundle != nullptr; }
    // The certificates, made on the first call. Should Qt read none where
    // OpenSSL read one, the list is empty and isSet() still holds: then no
    // server verifies, rather than every one.
    const QList<QSslCertificate>& certificates() const;

private:
    struct Bundle {
        QByteArray pem;
        QList<QSslCertificate> made;
        bool isMade = false;
    };
    std::shared_ptr<Bundle> bundle;
};

#endif
