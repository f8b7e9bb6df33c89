#ifndef FORMBODY_H
#define FORMBODY_H

#include <QByteArray>
#include <QIODevice>
#include <QList>

#include <vector>

#include "form/FormPart.h"

// The form as one body: byte for byte what Qt's multipart sends for the same parts and
// boundary, read from any offset. A resumable upload sends it in pieces, each from where
// the server stands; the parts' devices are read in place, never copied whole.
class FormBody : public QIODevice {
    Q_OBJECT

public:
    FormBody(const QList<FormPart>& parts, QByteArray boundary);

    // A boundary of the kind Qt makes: "boundary_.oOo._" and 32 random letters and digits.
    static QByteArray newBoundary();
    // The request's Content-Type, as Qt gives it for a form.
    QByteArray contentType() const;
    const QByteArray& boundaryText() const { return boundary; }

    // The bytes [from, to) of the body alone, from now on: one piece of an upload sent
    // in pieces, read from its own start. Positions are the piece's. A piece is read once:
    // Qt would send it again by itself after a connection that closed before an answer,
    // where the server stands elsewhere by then; going back in it is refused.
    void setWindow(qint64 from, qint64 to);
    // How far into the piece it was read: no more of it can have been sent.
    qint64 readUpTo() const { return furthest; }
    // Whether Qt asked to go back in the piece since it was set.
    bool refusedSendingAgain() const { return refusedAgain; }
    qint64 bodySize() const { return total; }
    // Where the body's bytes from device end: while that device is a file still being
    // written, the body up to here is final and the rest is not. -1 when no part reads it.
    qint64 endOf(const QIODevice* device) const;

    bool isSequential() const override { return false; }
    qint64 size() const override { return windowTo - windowFrom; }
    bool seek(qint64 position) override;

protected:
    qint64 readData(char* data, qint64 maxSize) override;
    qint64 writeData(const char* /*data*/, qint64 /*size*/) override { return -1; }

private:
    // A run of the body: bytes of its own, or a part's device.
    struct Piece {
        qint64 start = 0;
        qint64 size = 0;
        QByteArray bytes;
        QIODevice* device = nullptr;
    };
    void add(const QByteArray& bytes);

    QByteArray boundary;
    std::vector<Piece> pieces;
    qint64 total = 0;
    qint64 windowFrom = 0;
    qint64 windowTo = 0;
    qint64 furthest = 0;
    bool readOnce = false;  // a window was set: each of its bytes is read once
    bool begun = false;
    bool refusedAgain = false;
};

#endif
