#ifndef CACERTIFICATES_H
#define CACERTIFICATES_H

#include <QList>
#include <QSslCertificate>
#include <QString>

namespace CaCertificates {

// The PEM certificates in the regular file at path (--cacert); none when it
// cannot be read, is not a regular file, is too large or holds none.
QList<QSslCertificate> load(const QString& path);

}

#endif
