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

    QHttpPart toHttpPart() const;
};

#endif
