#ifndef CLIENTCERTIFICATE_H
#define CLIENTCERTIFICATE_H

#include <QList>
#include <QSslCertificate>
#include <QSslKey>
#include <QString>

#include <memory>

// The certificate and key that quillfast shows a collector asking for one
// (--mtls-cert, --mtls-key, --mtls-pass), loaded and checked before anything is made.
struct ClientCertificate {
    QList<QSslCertificate> chain;  // the certificate first, then any intermediates from its file
    // Held only when there is one: a QSslKey, even an empty one, loads and
    // starts OpenSSL when it is made, 4 ms of every run's start.
    std::shared_ptr<const QSslKey> key;

    bool isEmpty() const { return chain.isEmpty(); }

    // Loads both PEM files; the key may be encrypted, with its passphrase on
    // the first line of passFile. False with why set to the option at fault,
    // its file and the reason.
    static bool load(const QString& certFile, const QString& keyFile, const QString& passFile,
                     ClientCertificate& loaded, QString& option, QString& file, QString& why);
};

#endif
