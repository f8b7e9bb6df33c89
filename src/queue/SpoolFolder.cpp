#include "queue/SpoolFolder.h"

#include "queue/QueueEntry.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>

#include <cerrno>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#include <utility>

using PosixFiles::Fd;
using PosixFiles::errnoText;

namespace {

const char* const failed_dir = "failed";
const char* const lock_file = ".lock";
// How long a new entry's folder may stand before its writer has locked it.
const int temp_grace_seconds = 60;

// The folder's names, sorted; realFolders, when given, gets those that the
// listing itself says are folders (most file systems say so).
QStringList namesIn(int dirFd, QSet<QString>* realFolders = nullptr)
{
    QStringList names;
    const int copy = ::dup(dirFd);
    DIR* listing = copy >= 0 ? ::fdopendir(copy) : nullptr;
    if (!listing) {
        if (copy >= 0)
            ::close(copy);
        return names;
    }
    ::rewinddir(listing);  // the copy shares its position with every other copy
    while (const dirent* item = ::readdir(listing)) {
        const QString name = QFile::decodeName(item->d_name);
        if (name == QLatin1String(".") || name == QLatin1String(".."))
            continue;
        names.append(name);
        if (realFolders && item->d_type == DT_DIR)
            realFolders->insert(name);
    }
    ::closedir(listing);
    names.sort();
    return names;
}

// The only files an entry (or a temporary or removed one) may hold.
bool isEntryFileName(const QString& name)
{
    static const QRegularExpression part(QStringLiteral("\\Apart-\\d{1,6}\\z"));
    return name == QLatin1String(SpoolFolder::entryFile) || name == QLatin1String(SpoolFolder::entryUpdate)
        || part.match(name).hasMatch();
}

}

SpoolFolder::SpoolFolder(QString directory)
    : dir(std::move(directory))
{
}

QByteArray SpoolFolder::native(const QString& name)
{
    return QFile::encodeName(name);
}

SpoolFolder::Opened SpoolFolder::open(bool create, QString& why)
{
    const QByteArray path = native(dir);
    if (create && ::mkdir(path.constData(), 0700) != 0 && errno == ENOENT) {
        QDir().mkpath(QFileInfo(dir).absolutePath());
        ::mkdir(path.constData(), 0700);
    }
    struct stat info {};
    if (::lstat(path.constData(), &info) != 0 || !(S_ISDIR(info.st_mode) || S_ISLNK(info.st_mode))) {
        why = QStringLiteral("No queue folder at ") + dir;
        return Opened::Missing;
    }
    // The rules of sshd's StrictModes: refused, never repaired.
    dirFd = PosixFiles::openFolder(AT_FDCWD, path, why, &info);
    if (!dirFd.isOpen())
        return Opened::Unsafe;
    if (isPrivateFolder(info, why))
        return Opened::Ok;
    dirFd = Fd();
    return Opened::Unsafe;
}

QString SpoolFolder::pathOf(const QString& name) const
{
    return dir + QLatin1Char('/') + name;
}

bool SpoolFolder::holds(const QString& name) const
{
    struct stat info {};
    return ::fstatat(dirFd.get(), native(name).constData(), &info, AT_SYMLINK_NOFOLLOW) == 0 || errno != ENOENT;
}

QStringList SpoolFolder::names(QSet<QString>* realFolders) const
{
    return namesIn(dirFd.get(), realFolders);
}

void SpoolFolder::clearLeftovers() const
{
    clearLeftovers(namesIn(dirFd.get()));
}

void SpoolFolder::clearLeftovers(const QStringList& names) const
{
    QString why;
    for (const QString& name : names) {
        if (name.startsWith(QLatin1String(removalPrefix))
            && QueueEntry::isFolderName(name.mid(int(qstrlen(removalPrefix))))) {
            removeEntryFolder(dirFd.get(), name, why);
        } else if (isTempName(name)) {
            // Its writer holds a lock on it for as long as it lives, in whatever PID namespace;
            // one just made is not locked yet, and is left alone for a minute.
            struct stat info {};
            const Fd temp = PosixFiles::openFolder(dirFd.get(), native(name), why, &info);
            if (temp.isOpen() && ::time(nullptr) - info.st_mtime >= temp_grace_seconds
                && ::flock(temp.get(), LOCK_EX | LOCK_NB) == 0)
                removeEntryFolder(dirFd.get(), name, why);
        }
    }
}

bool SpoolFolder::moveToFailed(const QString& name, QString& why) const
{
    ::mkdirat(dirFd.get(), failed_dir, 0700);
    struct stat info {};
    const Fd failed = PosixFiles::openFolder(dirFd.get(), failed_dir, why, &info);
    if (!failed.isOpen()) {
        why = QStringLiteral("%1/%2: %3").arg(dir, QLatin1String(failed_dir), why);
        return false;
    }
    if (!isPrivateFolder(info, why)) {
        why = QStringLiteral("%1/%2 is not a private folder of this user").arg(dir, QLatin1String(failed_dir));
        return false;
    }
    if (::renameat2(dirFd.get(), native(name).constData(), failed.get(), native(name).constData(), RENAME_NOREPLACE) != 0) {
        why = QStringLiteral("cannot move it to %1/%2: %3").arg(dir, QLatin1String(failed_dir), errnoText());
        return false;
    }
    return true;
}

bool SpoolFolder::remove(const QString& name, QString& why) const
{
    struct stat before {};
    struct stat after {};
    const Fd folder = PosixFiles::openFolder(dirFd.get(), native(name), why, &before);
    const QString hidden = QLatin1String(removalPrefix) + name;
    if (!folder.isOpen()
        || ::renameat2(dirFd.get(), native(name).constData(), dirFd.get(), native(hidden).constData(), RENAME_NOREPLACE) != 0) {
        if (why.isEmpty())
            why = errnoText();
        return false;
    }
    if (::fstatat(dirFd.get(), native(hidden).constData(), &after, AT_SYMLINK_NOFOLLOW) != 0 || !sameFile(before, after)) {
        why = QStringLiteral("it changed while it was being removed");
        return false;
    }
    return removeEntryFolder(dirFd.get(), hidden, why);
}

// Removes the files the format names, one by one, then the folder itself:
// anything else in it keeps the folder, and nothing is followed.
bool SpoolFolder::removeEntryFolder(int parentFd, const QString& name, QString& why)
{
    const Fd folder = PosixFiles::openFolder(parentFd, native(name), why);
    if (!folder.isOpen())
        return false;
    for (const QString& file : namesIn(folder.get())) {
        if (isEntryFileName(file))
            ::unlinkat(folder.get(), native(file).constData(), 0);
    }
    if (::unlinkat(parentFd, native(name).constData(), AT_REMOVEDIR) != 0) {
        why = errno == ENOTEMPTY || errno == EEXIST ? QStringLiteral("it holds files that are not the queue's")
                                                    : errnoText();
        return false;
    }
    return true;
}

// ".tmp-" and the 16 hex digits that add() gives it: only a name of that exact form is the queue's own.
bool SpoolFolder::isTempName(const QString& name)
{
    static const QRegularExpression temp(QStringLiteral("\\A\\.tmp-[0-9a-f]{16}\\z"));
    return name.startsWith(QLatin1String(tempPrefix)) && temp.match(name).hasMatch();
}

bool SpoolFolder::sameFile(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The rules of sshd's StrictModes for a folder the queue writes in: the user's own, and no one else's to write.
bool SpoolFolder::isPrivateFolder(const struct stat& info, QString& why)
{
    if (info.st_uid != ::geteuid()) {
        why = QStringLiteral("it is owned by uid %1, not by uid %2 who runs this").arg(info.st_uid).arg(::geteuid());
        return false;
    }
    if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        why = QStringLiteral("it is writable by group or others (mode %1)").arg(info.st_mode & 07777, 4, 8, QLatin1Char('0'));
        return false;
    }
    return true;
}

SpoolFolder::Lock::Lock(const SpoolFolder& folder, const std::function<bool()>& giveUp)
    : fd(::openat(folder.dirFd.get(), lock_file, O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600))
{
    struct stat info {};
    if (fd.isOpen() && (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)))
        fd = Fd();
    // Polled rather than blocking, so that a signal to stop is heard while waiting.
    while (fd.isOpen() && ::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK || giveUp()) {
            fd = Fd();
            return;
        }
        ::usleep(100 * 1000);
    }
}

bool SpoolFolder::Lock::isHeld() const
{
    return fd.isOpen();
}
