#include "form/FormBody.h"

#include <QRandomGenerator>

#include <algorithm>

#include "form/BodyFile.h"

FormBody::FormBody(const QList<FormPart>& parts, QByteArray formBoundary)
    : boundary(std::move(formBoundary))
{
    // As Qt writes each part: its boundary line, its headers in the order they were set,
    // a blank line, the body and a line end; then the closing boundary.
    for (const FormPart& part : parts) {
        QByteArray head = "--" + boundary + "\r\n";
        if (!part.contentType.isEmpty())
            head += "Content-Type: " + part.contentType + "\r\n";
        head += "Content-Disposition: form-data; name=\"" + FormPart::quoted(part.name) + '"';
        if (!part.fileName.isEmpty())
            head += "; filename=\"" + FormPart::quoted(part.fileName) + '"';
        head += "\r\n";
        if (!part.sha256.isEmpty())
            head += "Content-Digest: sha-256=:" + part.sha256.toBase64() + ":\r\n";
        add(head + "\r\n");
        if (part.bodyDevice) {
            Piece piece;
            piece.start = total;
            piece.size = part.bodyDevice->size();
            piece.device = part.bodyDevice;
            pieces.push_back(piece);
            total += piece.size;
        } else {
            add(part.body);
        }
        add("\r\n");
    }
    add("--" + boundary + "--\r\n");
    windowTo = total;
}

void FormBody::setWindow(qint64 from, qint64 to)
{
    windowFrom = std::clamp<qint64>(from, 0, total);
    windowTo = std::clamp<qint64>(to, windowFrom, total);
    readOnce = true;
    furthest = 0;
    begun = false;
    refusedAgain = false;
    if (isOpen())
        QIODevice::seek(0);
}

qint64 FormBody::endOf(const QIODevice* device) const
{
    const auto found = std::find_if(pieces.begin(), pieces.end(), [device](const Piece& piece) { return piece.device == device; });
    return found == pieces.end() ? -1 : found->start + found->size;
}

void FormBody::add(const QByteArray& bytes)
{
    if (bytes.isEmpty())
        return;
    if (!pieces.empty() && !pieces.back().device) {
        pieces.back().bytes += bytes;
        pieces.back().size += bytes.size();
    } else {
        Piece piece;
        piece.start = total;
        piece.size = bytes.size();
        piece.bytes = bytes;
        pieces.push_back(piece);
    }
    total += bytes.size();
}

QByteArray FormBody::newBoundary()
{
    static const char letters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    QByteArray made = "boundary_.oOo._";
    for (int i = 0; i < 32; ++i)
        made += letters[QRandomGenerator::system()->bounded(int(sizeof letters - 1))];
    return made;
}

QByteArray FormBody::contentType() const
{
    return "multipart/form-data; boundary=\"" + boundary + '"';
}

bool FormBody::seek(qint64 position)
{
    if (readOnce && begun && position != pos()) {
        refusedAgain = true;
        return false;
    }
    return position >= 0 && position <= size() && QIODevice::seek(position);
}

qint64 FormBody::readData(char* data, qint64 maxSize)
{
    qint64 at = windowFrom + pos();
    qint64 done = 0;
    maxSize = std::min(maxSize, windowTo - at);
    auto piece = std::upper_bound(pieces.begin(), pieces.end(), at,
                                  [](qint64 offset, const Piece& p) { return offset < p.start; });
    if (piece != pieces.begin())
        --piece;
    for (; piece != pieces.end() && done < maxSize; ++piece) {
        const qint64 inPiece = at - piece->start;
        if (inPiece >= piece->size)
            continue;
        const qint64 wanted = std::min(maxSize - done, piece->size - inPiece);
        qint64 got = 0;
        if (!piece->device) {
            std::copy_n(piece->bytes.constData() + inPiece, wanted, data + done);
            got = wanted;
        } else {
            // A body file goes back only by its own rewind.
            auto* file = qobject_cast<BodyFile*>(piece->device);
            if (piece->device->pos() != inPiece && (file ? !(file->rewind() && file->seek(inPiece)) : !piece->device->seek(inPiece)))
                return done ? done : -1;
            got = piece->device->read(data + done, wanted);
            if (got < wanted) {  // a body that ends before its size: the form would be wrong
                setErrorString(piece->device->errorString());
                return -1;
            }
        }
        done += got;
        at += got;
    }
    begun = begun || done > 0;
    furthest = std::max(furthest, at - windowFrom);
    return done;
}
