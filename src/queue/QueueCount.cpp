#include "queue/EventQueue.h"

#include <QSet>

#include <fcntl.h>
#include <unistd.h>

namespace {

// The bytes of an entry's files, as the format names them: its description
// and its bodies, each found with one fstatat and never read.
// folder is the entry's name and a '/'.
qint64 entryBytes(int dirFd, const QByteArray& folder, const struct stat& description)
{
    qint64 bytes = description.st_size;
    for (int part = 0; part < QueueEntry::maxBodies; ++part) {
        struct stat info {};
        if (::fstatat(dirFd, (folder + QueueEntry::bodyFileName(part)).constData(), &info, AT_SYMLINK_NOFOLLOW) == 0
            && S_ISREG(info.st_mode))
            bytes += info.st_size;
    }
    return bytes;
}

}

QStringList EventQueue::entries() const
{
    QSet<QString> folders;
    const QStringList listed = names(&folders);
    return listEntries(listed, folders, nullptr);
}

QueueSizes EventQueue::sizes(const std::function<bool()>& stop) const
{
    QueueSizes found;
    struct stat here {};
    if (!dirFd.isOpen() || ::fstat(dirFd.get(), &here) != 0)
        return found;
    QSet<QString> folders;
    QList<qint64> bytes;
    const QStringList listed = listEntries(names(&folders), folders, &bytes, {}, stop);
    for (int i = 0; i < listed.size(); ++i)
        found.bytes.insert(listed.at(i), bytes.at(i));
    found.dev = here.st_dev;
    found.ino = here.st_ino;
    return found;
}

QStringList EventQueue::listEntries(const QStringList& names, const QSet<QString>& folders, QList<qint64>* bytes,
                                    const QueueSizes& known, const std::function<bool()>& stop) const
{
    QStringList found;
    const uid_t self = ::geteuid();
    struct stat here {};
    const bool sameFolder = !known.bytes.isEmpty() && ::fstat(dirFd.get(), &here) == 0 && here.st_dev == known.dev
        && here.st_ino == known.ino;
    for (const QString& name : names) {
        if (stop && stop())
            break;
        // Checked moments ago in this private folder: an entry's bodies never change, and its
        // description only by the few bytes of a status.
        const auto seen = sameFolder ? known.bytes.constFind(name) : known.bytes.constEnd();
        if (seen != known.bytes.constEnd()) {
            found.append(name);
            if (bytes)
                bytes->append(*seen);
            continue;
        }
        if (!QueueEntry::isFolderName(name))
            continue;
        // A real folder of the user's own, with a description: the listing tells a folder from
        // a link, and the description's owner is the entry's; a file system that does not tell costs a call.
        struct stat info {};
        if (!folders.contains(name)
            && (::fstatat(dirFd.get(), SpoolFolder::native(name).constData(), &info, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(info.st_mode)))
            continue;
        const QByteArray folder = SpoolFolder::native(name) + '/';
        struct stat marker {};
        if (::fstatat(dirFd.get(), (folder + entryFile).constData(), &marker, AT_SYMLINK_NOFOLLOW) != 0
            || !S_ISREG(marker.st_mode) || marker.st_uid != self)
            continue;
        found.append(name);
        if (bytes)
            bytes->append(entryBytes(dirFd.get(), folder, marker));
    }
    return found;
}

void EventQueue::makeRoom(const QStringList& names, const QSet<QString>& folders, qint64 newBytes, const QueueSizes& known,
                          QStringList& dropped) const
{
    QList<qint64> bytes;
    QStringList kept = listEntries(names, folders, &bytes, known);
    qint64 total = newBytes;
    for (const qint64 size : qAsConst(bytes))
        total += size;
    while (!kept.isEmpty() && (kept.size() + 1 > limits.maxEvents || total > limits.maxBytes)) {
        const QString oldest = kept.takeFirst();
        total -= bytes.takeFirst();
        QString ignored;
        if (remove(oldest, ignored))
            dropped.append(pathOf(oldest));
    }
}
