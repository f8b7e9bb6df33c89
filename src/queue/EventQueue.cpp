#include "queue/EventQueue.h"

#include <QCryptographicHash>
#include <QRandomGenerator>
#include <QSet>

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#include <utility>

using PosixFiles::Fd;
using PosixFiles::errnoText;

namespace {

QByteArray native(const QString& name)
{
    return SpoolFolder::native(name);
}

bool sha256Of(int fd, qint64 size, QByteArray& hex)
{
    QCryptographicHash hash(QCryptographicHash::Sha256);
    QByteArray buffer(1 << 20, Qt::Uninitialized);
    for (qint64 done = 0; done < size;) {
        const ssize_t got = ::pread(fd, buffer.data(), size_t(std::min<qint64>(buffer.size(), size - done)), done);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        hash.addData(buffer.constData(), int(got));
        done += got;
    }
    hex = hash.result().toHex();
    return true;
}

// One body into the entry: copied from its file, or written from memory.
bool storeBody(int entryFd, int part, const FormPart& source, QueueEntry::StoredBody& body, QString& why,
               const std::function<bool()>& stop)
{
    const QByteArray name = QueueEntry::bodyFileName(part);
    const Fd out(::openat(entryFd, name.constData(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    bool written = out.isOpen();
    if (written && !source.bodyFile.isEmpty()) {
        struct stat info {};
        const Fd in = PosixFiles::openRegular(AT_FDCWD, native(source.bodyFile), why, &info, PosixFiles::Links::Follow);
        if (!in.isOpen()) {
            why = QStringLiteral("cannot read %1: %2").arg(source.bodyFile, why);
            return false;
        }
        body.size = info.st_size;
        written = PosixFiles::copyAll(in.get(), out.get(), body.size, stop);
    } else if (written) {
        body.size = source.body.size();
        written = PosixFiles::writeAll(out.get(), source.body.constData(), body.size);
    }
    body.part = part;
    if (!written && stop && stop()) {
        why = QStringLiteral("stopped by a signal while copying %1").arg(QString::fromLatin1(name));
        return false;
    }
    if (!written || ::fsync(out.get()) != 0 || !sha256Of(out.get(), body.size, body.sha256)) {
        why = QStringLiteral("cannot write %1: %2").arg(QString::fromLatin1(name), errnoText());
        return false;
    }
    return true;
}

qint64 bodyBytes(const FormPart& part)
{
    if (part.bodyFile.isEmpty())
        return part.body.size();
    struct stat info {};
    return ::stat(native(part.bodyFile).constData(), &info) == 0 ? info.st_size : 0;
}

}

EventQueue::EventQueue(QString directory, QueueLimits queueLimits)
    : SpoolFolder(std::move(directory))
    , limits(queueLimits)
{
}

bool EventQueue::add(const QueueEntry& event, QString& entryPath, QStringList& dropped, QString& why,
                     const std::function<bool()>& stop, const QueueSizes& known) const
{
    // The folder is read once, whatever the number of entries.
    QSet<QString> folders;
    const QStringList listed = names(&folders);
    clearLeftovers(listed);
    // An event larger than the whole queue is refused before anything is copied.
    qint64 bytes = event.toJson().size();
    for (const FormPart& part : event.parts)
        bytes += bodyBytes(part);
    if (bytes > limits.maxBytes) {
        why = QStringLiteral("the event takes %1 bytes, more than the queue's limit of %2").arg(bytes).arg(limits.maxBytes);
        return false;
    }

    const QString temp = QLatin1String(tempPrefix)
        + QString::number(QRandomGenerator::global()->generate64(), 16).rightJustified(16, QLatin1Char('0'));
    struct stat made {};
    struct stat named {};
    Fd tempFd;
    if (::mkdirat(dirFd.get(), native(temp).constData(), 0700) == 0)
        tempFd = PosixFiles::openFolder(dirFd.get(), native(temp), why, &made);
    // Locked, and still the folder of that name: a cleanup may not have taken it in between.
    if (!tempFd.isOpen() || ::flock(tempFd.get(), LOCK_EX) != 0
        || ::fstatat(dirFd.get(), native(temp).constData(), &named, AT_SYMLINK_NOFOLLOW) != 0 || !sameFile(made, named)) {
        why = QStringLiteral("cannot make an entry in %1: %2").arg(dir, why.isEmpty() ? errnoText() : why);
        return false;
    }
    auto abandon = [&](const QString& text) {
        QString ignored;
        removeEntryFolder(dirFd.get(), temp, ignored);
        why = text;
        return false;
    };

    QueueEntry stored;
    QString failure;
    if (!storeBodies(tempFd.get(), event, stored, failure, stop))
        return abandon(failure);
    // The description last: an entry.json is whole only after the bodies it names are.
    const QByteArray description = stored.toJson();
    if (!PosixFiles::writeNewFile(tempFd.get(), entryFile, description) || ::fsync(tempFd.get()) != 0)
        return abandon(QStringLiteral("cannot write %1: %2").arg(pathOf(temp), errnoText()));

    qint64 storedBytes = description.size();
    for (const QueueEntry::StoredBody& body : qAsConst(stored.bodies))
        storedBytes += body.size;
    makeRoom(listed, folders, storedBytes, known, dropped);

    const QString name = QueueEntry::folderName(event.created, event.eventId);
    if (::renameat2(dirFd.get(), native(temp).constData(), dirFd.get(), native(name).constData(), RENAME_NOREPLACE) != 0)
        return abandon(QStringLiteral("cannot rename %1: %2").arg(pathOf(temp), errnoText()));
    ::fsync(dirFd.get());
    entryPath = pathOf(name);
    return true;
}

// Copies the bodies that go in files into the entry's folder; stored is the
// event as its description records it.
bool EventQueue::storeBodies(int entryFd, const QueueEntry& event, QueueEntry& stored, QString& why,
                             const std::function<bool()>& stop)
{
    stored = event;
    stored.bodies.clear();
    stored.lastError = event.lastError.left(QueueEntry::maxErrorChars);
    for (int i = 0; i < event.parts.size(); ++i) {
        FormPart& part = stored.parts[i];
        if (!QueueEntry::storedInFile(part))
            continue;
        QueueEntry::StoredBody body;
        if (!storeBody(entryFd, i, part, body, why, stop))
            return false;
        stored.bodies.append(body);
        part.bodyDevice = nullptr;
    }
    return true;
}

bool EventQueue::read(const QString& name, Kept& kept, QString& why) const
{
    kept = Kept();
    kept.name = name;
    kept.folder = PosixFiles::openFolder(dirFd.get(), native(name), why);
    QByteArray json;
    if (!kept.folder.isOpen()
        || PosixFiles::readSmall(kept.folder.get(), entryFile, QueueEntry::maxDescriptionBytes, json, why) != PosixFiles::Read::Ok
        || !QueueEntry::fromJson(json, name, kept.entry, why))
        return false;
    for (const QueueEntry::StoredBody& body : qAsConst(kept.entry.bodies)) {
        FormPart& part = kept.entry.parts[body.part];
        const QByteArray file = QueueEntry::bodyFileName(body.part);
        struct stat info {};
        Fd fd = PosixFiles::openRegular(kept.folder.get(), file, why, &info);
        QByteArray digest;
        if (!fd.isOpen()) {
            why = QStringLiteral("%1: %2").arg(QString::fromLatin1(file), why);
            return false;
        }
        if (info.st_size != body.size || !sha256Of(fd.get(), body.size, digest) || digest != body.sha256) {
            why = QStringLiteral("%1 is not the body that was kept (size or sha256 differs)").arg(QString::fromLatin1(file));
            return false;
        }
        kept.bodies.push_back(std::make_unique<BodyFile>());
        if (!kept.bodies.back()->open(fd.release(), QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
            why = kept.bodies.back()->errorString();
            return false;
        }
        part.bodyDevice = kept.bodies.back().get();
        if (kept.entry.hashParts)
            part.sha256 = QByteArray::fromHex(body.sha256);  // checked just now: not read again
        part.bodyFile = pathOf(name) + QLatin1Char('/') + QString::fromLatin1(file);
    }
    return true;
}

bool EventQueue::update(const Kept& kept, QString& why)
{
    const int folder = kept.folder.get();
    ::unlinkat(folder, entryUpdate, 0);
    if (PosixFiles::writeNewFile(folder, entryUpdate, kept.entry.toJson())
        && ::renameat(folder, entryUpdate, folder, entryFile) == 0)
        return true;
    why = errnoText();
    ::unlinkat(folder, entryUpdate, 0);  // the previous description stays whole
    return false;
}
