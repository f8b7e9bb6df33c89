#include "form/BodyFile.h"

#include <algorithm>

bool BodyFile::open(OpenMode mode)
{
    // Unbuffered: every read comes here, at the offset kept below.
    if (!QFile::open(mode | Unbuffered))
        return false;
    fixedSize = QFile::size();
    offset = 0;
    return true;
}

bool BodyFile::open(int fd, OpenMode mode, FileHandleFlags handleFlags)
{
    if (!QFile::open(fd, mode | Unbuffered, handleFlags))
        return false;
    fixedSize = QFile::size();
    offset = QFile::pos();
    return true;
}

qint64 BodyFile::size() const
{
    return isOpen() ? fixedSize : QFile::size();
}

bool BodyFile::seek(qint64 position)
{
    if (begun && position != offset && sendingAgain && !sendingAgain()) {
        refusedAgain = true;
        return false;
    }
    if (!QFile::seek(position))
        return false;
    offset = position;
    return true;
}

bool BodyFile::rewind(SendingAgain judge)
{
    begun = false;
    refusedAgain = false;
    sendingAgain = std::move(judge);
    return seek(0);
}

qint64 BodyFile::readData(char* data, qint64 maxSize)
{
    const qint64 left = fixedSize - offset;
    if (left <= 0)
        return 0;
    const qint64 got = QFile::readData(data, std::min(maxSize, left));
    if (got == 0) {
        shrunk = true;
        foundSize = offset;
        setErrorString(shrinkMessage());
        return -1;  // Qt then fails the upload by itself
    }
    if (got > 0) {
        offset += got;
        begun = true;
    }
    return got;
}

QString BodyFile::shrinkMessage() const
{
    return QStringLiteral("%1 shrank while it was sent: %2 of %3 bytes").arg(fileName()).arg(foundSize).arg(fixedSize);
}

bool BodyFile::refusedSendingAgainAmong(const QList<QIODevice*>& devices)
{
    return std::any_of(devices.begin(), devices.end(), [](const QIODevice* device) {
        const auto* file = qobject_cast<const BodyFile*>(device);
        return file && file->refusedSendingAgain();
    });
}

const BodyFile* BodyFile::shrunkAmong(const QList<QIODevice*>& devices)
{
    for (QIODevice* device : devices) {
        const auto* file = qobject_cast<const BodyFile*>(device);
        if (file && file->hasShrunk())
            return file;
    }
    return nullptr;
}
