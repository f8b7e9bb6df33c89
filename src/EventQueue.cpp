#include "EventQueue.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace {

const char* const entryFile = "entry.json";
const char* const failedDir = "failed";
const char* const lockFile = ".lock";
const char* const tempPrefix = ".tmp-";
const int entryFormat = 1;

QByteArray native(const QString& path)
{
    return QFile::encodeName(path);
}

QString errnoText()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

// A directory of our own: made private, parents as they come.
bool makePrivateDir(const QString& path)
{
    if (QFileInfo(path).isDir())
        return true;
    QDir().mkpath(QFileInfo(path).absolutePath());
    return ::mkdir(native(path).constData(), 0700) == 0 || (errno == EEXIST && QFileInfo(path).isDir());
}

bool syncPath(const QString& path)
{
    const int fd = ::open(native(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool synced = ::fsync(fd) == 0;
    ::close(fd);
    return synced;
}

// Writes a new private file and syncs it; false with errno set.
bool writeNewFile(const QString& path, const QByteArray& data)
{
    const int fd = ::open(native(path).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    qint64 done = 0;
    while (done < data.size()) {
        const ssize_t wrote = ::write(fd, data.constData() + done, size_t(data.size() - done));
        if (wrote < 0 && errno == EINTR)
            continue;
        if (wrote <= 0) {
            const int saved = errno;
            ::close(fd);
            errno = saved;
            return false;
        }
        done += wrote;
    }
    const bool ok = ::fsync(fd) == 0;
    const int saved = errno;
    ::close(fd);
    errno = saved;
    return ok;
}

// A hard link when the file system allows it, else a copy: the archive may be large.
bool linkOrCopy(const QString& from, const QString& to)
{
    if (::link(native(from).constData(), native(to).constData()) == 0)
        return ::chmod(native(to).constData(), 0600) == 0;
    const int in = ::open(native(from).constData(), O_RDONLY | O_CLOEXEC);
    if (in < 0)
        return false;
    const int out = ::open(native(to).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (out < 0) {
        const int saved = errno;
        ::close(in);
        errno = saved;
        return false;
    }
    QByteArray buffer(1 << 20, Qt::Uninitialized);
    bool ok = true;
    for (;;) {
        const ssize_t got = ::read(in, buffer.data(), size_t(buffer.size()));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            ok = got == 0;
            break;
        }
        for (ssize_t done = 0; ok && done < got;) {
            const ssize_t wrote = ::write(out, buffer.constData() + done, size_t(got - done));
            if (wrote < 0 && errno == EINTR)
                continue;
            ok = wrote > 0;
            done += wrote;
        }
        if (!ok)
            break;
    }
    ok = ok && ::fsync(out) == 0;
    const int saved = errno;
    ::close(in);
    ::close(out);
    errno = saved;
    return ok;
}

qint64 directoryBytes(const QString& path)
{
    qint64 bytes = 0;
    for (const QFileInfo& file : QDir(path).entryInfoList(QDir::Files | QDir::Hidden))
        bytes += file.size();
    return bytes;
}

QJsonObject describe(const EventQueue::Entry& entry, const QStringList& bodyNames)
{
    QJsonArray parts;
    for (int i = 0; i < entry.parts.size(); ++i) {
        const FormPart& part = entry.parts.at(i);
        // Each byte one character, so the header bytes come back as they were.
        parts.append(QJsonObject{{QStringLiteral("name"), QString::fromLatin1(part.name)},
                                 {QStringLiteral("fileName"), QString::fromLatin1(part.fileName)},
                                 {QStringLiteral("contentType"), QString::fromLatin1(part.contentType)},
                                 {QStringLiteral("body"), bodyNames.at(i)}});
    }
    return QJsonObject{
        {QStringLiteral("format"), entryFormat},
        {QStringLiteral("eventId"), entry.eventId},
        {QStringLiteral("url"), QString::fromLatin1(entry.url.toEncoded())},
        {QStringLiteral("created"), entry.created.toUTC().toString(Qt::ISODateWithMs)},
        {QStringLiteral("attempts"), entry.attempts},
        {QStringLiteral("lastStatus"), entry.lastStatus},
        {QStringLiteral("lastError"), entry.lastError},
        {QStringLiteral("parts"), parts},
    };
}

// An entry being written by a process that is gone: it will never be finished.
bool isAbandonedTemp(const QString& name)
{
    const QStringList fields = name.mid(int(std::strlen(tempPrefix))).split(QLatin1Char('-'));
    bool ok = false;
    const int pid = fields.value(0).toInt(&ok);
    return ok && pid > 0 && ::kill(pid, 0) != 0 && errno == ESRCH;
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

const QString& EventQueue::directory() const
{
    return dir;
}

QStringList EventQueue::entries() const
{
    QStringList paths;
    const QStringList names = QDir(dir).entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
    for (const QString& name : names) {
        if (name != QLatin1String(failedDir))
            paths.append(dir + QLatin1Char('/') + name);
    }
    return paths;
}

bool EventQueue::add(const Entry& event, QString& entryPath, QStringList& dropped, QString& why) const
{
    auto failWith = [&why](const QString& text) {
        why = text;
        return false;
    };
    if (!makePrivateDir(dir))
        return failWith(QStringLiteral("cannot make %1: %2").arg(dir, errnoText()));
    for (const QString& name : QDir(dir).entryList({QLatin1String(tempPrefix) + QLatin1Char('*')},
                                                   QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot)) {
        if (isAbandonedTemp(name))
            QDir(dir + QLatin1Char('/') + name).removeRecursively();
    }

    const QString temp = dir + QLatin1Char('/') + QLatin1String(tempPrefix)
        + QStringLiteral("%1-%2").arg(::getpid()).arg(QRandomGenerator::global()->generate(), 8, 16, QLatin1Char('0'));
    if (::mkdir(native(temp).constData(), 0700) != 0)
        return failWith(QStringLiteral("cannot make an entry in %1: %2").arg(dir, errnoText()));
    auto abandon = [&](const QString& text) {
        QDir(temp).removeRecursively();
        return failWith(text);
    };

    QStringList bodyNames;
    for (int i = 0; i < event.parts.size(); ++i) {
        const FormPart& part = event.parts.at(i);
        const QString name = QStringLiteral("part-%1").arg(i);
        const QString path = temp + QLatin1Char('/') + name;
        const bool written = part.bodyFile.isEmpty() ? writeNewFile(path, part.body) : linkOrCopy(part.bodyFile, path);
        if (!written)
            return abandon(QStringLiteral("cannot write %1: %2").arg(path, errnoText()));
        bodyNames.append(name);
    }
    const QByteArray description = QJsonDocument(describe(event, bodyNames)).toJson();
    if (!writeNewFile(temp + QLatin1Char('/') + QLatin1String(entryFile), description) || !syncPath(temp))
        return abandon(QStringLiteral("cannot write %1: %2").arg(temp, errnoText()));

    // Room for it, oldest first; an event larger than the whole queue is not kept.
    const qint64 bytes = directoryBytes(temp);
    if (bytes > limits.maxBytes)
        return abandon(QStringLiteral("the event takes %1 bytes, more than the queue's limit of %2")
                           .arg(bytes)
                           .arg(limits.maxBytes));
    QStringList kept = entries();
    QList<qint64> sizes;
    qint64 total = bytes;
    for (const QString& path : qAsConst(kept)) {
        sizes.append(directoryBytes(path));
        total += sizes.last();
    }
    while (!kept.isEmpty() && (kept.size() + 1 > limits.maxEvents || total > limits.maxBytes)) {
        const QString oldest = kept.takeFirst();
        total -= sizes.takeFirst();
        if (remove(oldest))
            dropped.append(oldest);
    }

    const QString name = event.created.toUTC().toString(QStringLiteral("yyyyMMdd'T'HHmmss.zzz'Z'")) + QLatin1Char('-')
        + event.eventId;
    entryPath = dir + QLatin1Char('/') + name;
    if (::rename(native(temp).constData(), native(entryPath).constData()) != 0)
        return abandon(QStringLiteral("cannot rename %1: %2").arg(temp, errnoText()));
    syncPath(dir);
    return true;
}

bool EventQueue::read(const QString& entryPath, Entry& entry, QString& why)
{
    QFile file(entryPath + QLatin1Char('/') + QLatin1String(entryFile));
    if (!file.open(QIODevice::ReadOnly)) {
        why = file.errorString();
        return false;
    }
    QJsonParseError error{};
    const QJsonObject object = QJsonDocument::fromJson(file.read(1 << 20), &error).object();
    if (error.error != QJsonParseError::NoError || object.value(QStringLiteral("format")).toInt() != entryFormat) {
        why = QStringLiteral("not an entry of this program's format");
        return false;
    }
    entry = Entry();
    entry.path = entryPath;
    entry.eventId = object.value(QStringLiteral("eventId")).toString();
    entry.url = QUrl::fromEncoded(object.value(QStringLiteral("url")).toString().toLatin1());
    entry.created = QDateTime::fromString(object.value(QStringLiteral("created")).toString(), Qt::ISODateWithMs);
    entry.attempts = object.value(QStringLiteral("attempts")).toInt();
    entry.lastStatus = object.value(QStringLiteral("lastStatus")).toInt();
    entry.lastError = object.value(QStringLiteral("lastError")).toString();
    entry.bytes = directoryBytes(entryPath);
    const QJsonArray parts = object.value(QStringLiteral("parts")).toArray();
    for (const QJsonValue& value : parts) {
        const QJsonObject part = value.toObject();
        FormPart formPart;
        formPart.name = part.value(QStringLiteral("name")).toString().toLatin1();
        formPart.fileName = part.value(QStringLiteral("fileName")).toString().toLatin1();
        formPart.contentType = part.value(QStringLiteral("contentType")).toString().toLatin1();
        const QString body = part.value(QStringLiteral("body")).toString();
        // Only a part file of the entry itself: never a path that leads out of it.
        if (body.isEmpty() || body.contains(QLatin1Char('/')) || body.startsWith(QLatin1Char('.'))
            || !QFileInfo(entryPath + QLatin1Char('/') + body).isFile()) {
            why = QStringLiteral("a part's body is missing");
            return false;
        }
        formPart.bodyFile = entryPath + QLatin1Char('/') + body;
        entry.parts.append(formPart);
    }
    if (entry.eventId.isEmpty() || !entry.url.isValid() || !entry.created.isValid() || entry.parts.isEmpty()) {
        why = QStringLiteral("an incomplete description");
        return false;
    }
    return true;
}

bool EventQueue::update(const Entry& entry)
{
    QStringList bodyNames;
    for (const FormPart& part : entry.parts)
        bodyNames.append(QFileInfo(part.bodyFile).fileName());
    const QString path = entry.path + QLatin1Char('/') + QLatin1String(entryFile);
    const QString temp = path + QLatin1String(".new");
    QFile::remove(temp);
    return writeNewFile(temp, QJsonDocument(describe(entry, bodyNames)).toJson())
        && ::rename(native(temp).constData(), native(path).constData()) == 0;
}

bool EventQueue::moveToFailed(const QString& entryPath) const
{
    const QString failed = dir + QLatin1Char('/') + QLatin1String(failedDir);
    if (!makePrivateDir(failed))
        return false;
    const QString target = failed + QLatin1Char('/') + QFileInfo(entryPath).fileName();
    return ::rename(native(entryPath).constData(), native(target).constData()) == 0;
}

bool EventQueue::remove(const QString& entryPath)
{
    return QDir(entryPath).removeRecursively();
}

EventQueue::Lock::Lock(const QString& directory, const std::function<bool()>& giveUp)
{
    if (!makePrivateDir(directory))
        return;
    fd = ::open(native(directory + QLatin1Char('/') + QLatin1String(lockFile)).constData(),
                O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    // Polled rather than blocking, so that a signal to stop is heard while waiting.
    while (fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK || giveUp()) {
            ::close(fd);
            fd = -1;
            return;
        }
        ::usleep(100 * 1000);
    }
}

EventQueue::Lock::~Lock()
{
    if (fd >= 0)
        ::close(fd);
}

bool EventQueue::Lock::isHeld() const
{
    return fd >= 0;
}
