#include "parse/CaCertificates.h"

#include "parse/FileLimits.h"
#include "support/PosixFiles.h"

namespace CaCertificates {

QList<QSslCertificate> load(const QString& path)
{
    QByteArray text;
    QString why;
    // Only a regular file: a device or a pipe would be read for ever.
    if (PosixFiles::readNamedFile(path, FileLimits::caBundle, text, why) != PosixFiles::Read::Ok)
        return {};
    return QSslCertificate::fromData(text, QSsl::Pem);
}

}
