#include "queue/EventQueue.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSet>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#include <utility>

using PosixFiles::Fd;
using PosixFiles::errnoText;

namespace {

const char* const entry_file = "entry.json";
const char* const entry_update = "entry.json.new";
const char* const failed_dir = "failed";
const char* const lock_file = ".lock";
const char* const temp_prefix = ".tmp-";
const char* const removal_prefix = ".del-";
// How long a new entry's folder may stand before its writer has locked it.
const int temp_grace_seconds = 60;

QByteArray native(const QString& name)
{
    return QFile::encodeName(name);
}

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

// ".tmp-" and the 16 hex digits that add() gives it: only a name of that exact form is the queue's own.
bool isTempName(const QString& name)
{
    static const QRegularExpression temp(QStringLiteral("\\A\\.tmp-[0-9a-f]{16}\\z"));
    return name.startsWith(QLatin1String(temp_prefix)) && temp.match(name).hasMatch();
}

// The only files an entry (or a temporary or removed one) may hold.
bool isEntryFileName(const QString& name)
{
    static const QRegularExpression part(QStringLiteral("\\Apart-\\d{1,6}\\z"));
    return name == QLatin1String(entry_file) || name == QLatin1String(entry_update) || part.match(name).hasMatch();
}

// Removes the files the format names, one by one, then the folder itself:
// anything else in it keeps the folder, and nothing is followed.
bool removeEntryFolder(int parentFd, const QString& name, QString& why)
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

bool sameFile(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
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

// The rules of sshd's StrictModes for a folder the queue writes in: the user's own, and no one else's to write.
bool isPrivateFolder(const struct stat& info, QString& why)
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

qint64 bodyBytes(const FormPart& part)
{
    if (part.bodyFile.isEmpty())
        return part.body.size();
    struct stat info {};
    return ::stat(native(part.bodyFile).constData(), &info) == 0 ? info.st_size : 0;
}

}

EventQueue::EventQueue(QString directory)
    : dir(std::move(directory))
{
}

EventQueue::EventQueue(QString directory, Limits queueLimits)
    : dir(std::move(directory))
    , limits(queueLimits)
{
}

EventQueue::Opened EventQueue::open(bool create, QString& why)
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

QString EventQueue::pathOf(const QString& name) const
{
    return dir + QLatin1Char('/') + name;
}

QStringList EventQueue::entries() const
{
    QSet<QString> folders;
    const QStringList names = namesIn(dirFd.get(), &folders);
    return listEntries(names, folders, nullptr);
}

EventQueue::Sizes EventQueue::sizes(const std::function<bool()>& stop) const
{
    Sizes found;
    struct stat here {};
    if (!dirFd.isOpen() || ::fstat(dirFd.get(), &here) != 0)
        return found;
    QSet<QString> folders;
    QList<qint64> bytes;
    const QStringList names = listEntries(namesIn(dirFd.get(), &folders), folders, &bytes, {}, stop);
    for (int i = 0; i < names.size(); ++i)
        found.bytes.insert(names.at(i), bytes.at(i));
    found.dev = here.st_dev;
    found.ino = here.st_ino;
    return found;
}

QStringList EventQueue::listEntries(const QStringList& names, const QSet<QString>& folders, QList<qint64>* bytes,
                                    const Sizes& known, const std::function<bool()>& stop) const
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
            && (::fstatat(dirFd.get(), native(name).constData(), &info, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(info.st_mode)))
            continue;
        const QByteArray folder = native(name) + '/';
        struct stat marker {};
        if (::fstatat(dirFd.get(), (folder + entry_file).constData(), &marker, AT_SYMLINK_NOFOLLOW) != 0
            || !S_ISREG(marker.st_mode) || marker.st_uid != self)
            continue;
        found.append(name);
        if (bytes)
            bytes->append(entryBytes(dirFd.get(), folder, marker));
    }
    return found;
}

void EventQueue::clearLeftovers() const
{
    clearLeftovers(namesIn(dirFd.get()));
}

void EventQueue::clearLeftovers(const QStringList& names) const
{
    QString why;
    for (const QString& name : names) {
        if (name.startsWith(QLatin1String(removal_prefix))
            && QueueEntry::isFolderName(name.mid(int(qstrlen(removal_prefix))))) {
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

bool EventQueue::add(const Entry& event, QString& entryPath, QStringList& dropped, QString& why,
                     const std::function<bool()>& stop, const Sizes& known) const
{
    // The folder is read once, whatever the number of entries.
    QSet<QString> folders;
    const QStringList names = namesIn(dirFd.get(), &folders);
    clearLeftovers(names);
    // An event larger than the whole queue is refused before anything is copied.
    qint64 bytes = event.toJson().size();
    for (const FormPart& part : event.parts)
        bytes += bodyBytes(part);
    if (bytes > limits.maxBytes) {
        why = QStringLiteral("the event takes %1 bytes, more than the queue's limit of %2").arg(bytes).arg(limits.maxBytes);
        return false;
    }

    const QString temp = QLatin1String(temp_prefix)
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

    Entry stored;
    QString failure;
    if (!storeBodies(tempFd.get(), event, stored, failure, stop))
        return abandon(failure);
    // The description last: an entry.json is whole only after the bodies it names are.
    const QByteArray description = stored.toJson();
    if (!PosixFiles::writeNewFile(tempFd.get(), entry_file, description) || ::fsync(tempFd.get()) != 0)
        return abandon(QStringLiteral("cannot write %1: %2").arg(pathOf(temp), errnoText()));

    qint64 storedBytes = description.size();
    for (const Entry::StoredBody& body : qAsConst(stored.bodies))
        storedBytes += body.size;
    makeRoom(names, folders, storedBytes, known, dropped);

    const QString name = Entry::folderName(event.created, event.eventId);
    if (::renameat2(dirFd.get(), native(temp).constData(), dirFd.get(), native(name).constData(), RENAME_NOREPLACE) != 0)
        return abandon(QStringLiteral("cannot rename %1: %2").arg(pathOf(temp), errnoText()));
    ::fsync(dirFd.get());
    entryPath = pathOf(name);
    return true;
}

// Copies the bodies that go in files into the entry's folder; stored is the
// event as its description records it.
bool EventQueue::storeBodies(int entryFd, const Entry& event, Entry& stored, QString& why,
                             const std::function<bool()>& stop)
{
    stored = event;
    stored.bodies.clear();
    stored.lastError = event.lastError.left(Entry::maxErrorChars);
    for (int i = 0; i < event.parts.size(); ++i) {
        FormPart& part = stored.parts[i];
        if (!Entry::storedInFile(part))
            continue;
        Entry::StoredBody body;
        if (!storeBody(entryFd, i, part, body, why, stop))
            return false;
        stored.bodies.append(body);
        part.bodyDevice = nullptr;
    }
    return true;
}

void EventQueue::makeRoom(const QStringList& names, const QSet<QString>& folders, qint64 newBytes, const Sizes& known,
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

bool EventQueue::read(const QString& name, Kept& kept, QString& why) const
{
    kept = Kept();
    kept.name = name;
    kept.folder = PosixFiles::openFolder(dirFd.get(), native(name), why);
    QByteArray json;
    if (!kept.folder.isOpen()
        || PosixFiles::readSmall(kept.folder.get(), entry_file, Entry::maxDescriptionBytes, json, why) != PosixFiles::Read::Ok
        || !Entry::fromJson(json, name, kept.entry, why))
        return false;
    for (const Entry::StoredBody& body : qAsConst(kept.entry.bodies)) {
        FormPart& part = kept.entry.parts[body.part];
        const QByteArray file = Entry::bodyFileName(body.part);
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

bool EventQueue::holds(const QString& name) const
{
    struct stat info {};
    return ::fstatat(dirFd.get(), native(name).constData(), &info, AT_SYMLINK_NOFOLLOW) == 0 || errno != ENOENT;
}

bool EventQueue::update(const Kept& kept, QString& why)
{
    const int folder = kept.folder.get();
    ::unlinkat(folder, entry_update, 0);
    if (PosixFiles::writeNewFile(folder, entry_update, kept.entry.toJson())
        && ::renameat(folder, entry_update, folder, entry_file) == 0)
        return true;
    why = errnoText();
    ::unlinkat(folder, entry_update, 0);  // the previous description stays whole
    return false;
}

bool EventQueue::moveToFailed(const QString& name, QString& why) const
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

bool EventQueue::remove(const QString& name, QString& why) const
{
    struct stat before {};
    struct stat after {};
    const Fd folder = PosixFiles::openFolder(dirFd.get(), native(name), why, &before);
    const QString hidden = QLatin1String(removal_prefix) + name;
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

EventQueue::Lock::Lock(const EventQueue& queue, const std::function<bool()>& giveUp)
    : fd(::openat(queue.dirFd.get(), lock_file, O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600))
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

bool EventQueue::Lock::isHeld() const
{
    return fd.isOpen();
}
