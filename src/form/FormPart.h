#ifndef FORMPART_H
#define FORMPART_H

#include <QByteArray>
#include <QHttpPart>

class QIODevice;

// One form-data part as the server will see it; the zipFile body streams
// from the open archive (bodyDevice), every other body is held in memory.
struct FormPart {
    QByteArray name;
    QByteArray fileName;     // empty for a plain form variable
    QByteArray contentType;  // empty: no Content-Type header
    QByteArray body;
    QIODevice* bodyDevice = nullptr;  // streamed from this device when set
    QString bodyFile;                 // the file that bodyDevice reads, when it is one
    QByteArray sha256;                // the body's digest, sent as Content-Digest when set (--hash-parts)

    QHttpPart toHttpPart() const;

    // What a part's name, file name or type may hold, for the form and for the
    // queue's reader alike: any byte but a control character (C0 or DEL), which
    // would break the part's header. A name may be empty.
    static bool mayHold(const QByteArray& text);
    // A name or file name as it goes between the quotes of Content-Disposition:
    // a '"' as %22, as RFC 7578 and browsers send it.
    static QByteArray quoted(const QByteArray& text);
};

#endif
