#ifndef BODYFILE_H
#define BODYFILE_H

#include <QFile>
#include <QList>

#include <functional>

// A file streamed as a part body. Its size is fixed when it is opened, as the
// form's Content-Length is: bytes added later are not sent, and a file that
// shrinks fails the read instead of leaving Qt to read past its end.
class BodyFile : public QFile {
    Q_OBJECT

public:
    using QFile::QFile;

    bool open(OpenMode mode) override;
    bool open(int fd, OpenMode mode, FileHandleFlags handleFlags = DontCloseHandle);
    qint64 size() const override;
    // Whether Qt may go back to send the body again once a byte of it was read. It does so
    // on its own for an answer that asks for credentials (the peer took nothing), and for a
    // connection that closed before any answer (the peer may have had the form whole).
    using SendingAgain = std::function<bool()>;
    // Going back past a byte read is refused when the judge says no.
    bool seek(qint64 position) override;
    // To the start, for the next exchange (the program's own way back), under this judge.
    bool rewind(SendingAgain judge = {});

    // It ended before the size it had when it was opened.
    bool hasShrunk() const { return shrunk; }
    // "NAME shrank while it was sent: N of M bytes".
    QString shrinkMessage() const;
    // The first of the devices that is a body file and has shrunk, or null.
    static const BodyFile* shrunkAmong(const QList<QIODevice*>& devices);
    // Whether Qt asked one of them to go back since its rewind().
    bool refusedSendingAgain() const { return refusedAgain; }
    static bool refusedSendingAgainAmong(const QList<QIODevice*>& devices);

protected:
    qint64 readData(char* data, qint64 maxSize) override;

private:
    qint64 fixedSize = 0;
    qint64 offset = 0;
    qint64 foundSize = 0;
    bool shrunk = false;
    bool begun = false;
    bool refusedAgain = false;
    SendingAgain sendingAgain;
};

#endif
