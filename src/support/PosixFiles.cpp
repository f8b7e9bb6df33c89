#include "support/PosixFiles.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/sendfile.h>
#include <unistd.h>

namespace PosixFiles {

Fd::Fd(int descriptor)
    : fd(descriptor)
{
}

Fd::~Fd()
{
    if (fd >= 0) {
        const int saved = errno;
        ::close(fd);
        errno = saved;
    }
}

Fd::Fd(Fd&& other) noexcept
    : fd(other.release())
{
}

Fd& Fd::operator=(Fd&& other) noexcept
{
    if (this != &other) {
        Fd old(fd);
        fd = other.release();
    }
    return *this;
}

int Fd::release()
{
    const int descriptor = fd;
    fd = -1;
    return descriptor;
}

QString errnoText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

QString errnoText()
{
    return errnoText(errno);
}

bool writeAll(int fd, const char* data, qint64 size)
{
    qint64 done = 0;
    while (done < size) {
        const ssize_t wrote = ::write(fd, data + done, size_t(size - done));
        if (wrote < 0 && errno == EINTR)
            continue;
        if (wrote <= 0) {
            if (wrote == 0)
                errno = EIO;
            return false;
        }
        done += wrote;
    }
    return true;
}

namespace {

Fd openChecked(int dirFd, const QByteArray& name, int flags, mode_t type, const char* what, QString& why,
               struct stat* info)
{
    // O_NONBLOCK: opening a FIFO must not wait for a writer; it is refused just after.
    Fd fd(::openat(dirFd, name.constData(), flags | O_NONBLOCK | O_CLOEXEC));
    struct stat status {};
    if (!fd.isOpen()) {
        const int error = errno;
        // O_DIRECTORY reports a final link as ENOTDIR.
        const bool link = error == ELOOP
            || (error == ENOTDIR && ::fstatat(dirFd, name.constData(), &status, AT_SYMLINK_NOFOLLOW) == 0
                && S_ISLNK(status.st_mode));
        why = link ? QStringLiteral("it is a symbolic link") : errnoText(error);
        return fd;
    }
    if (::fstat(fd.get(), &status) != 0) {
        why = errnoText();
        return {};
    }
    if ((status.st_mode & S_IFMT) != type) {
        why = QStringLiteral("it is not %1").arg(QLatin1String(what));
        return {};
    }
    // Reads and writes then wait as usual.
    if (type == S_IFREG)
        ::fcntl(fd.get(), F_SETFL, ::fcntl(fd.get(), F_GETFL) & ~O_NONBLOCK);
    if (info)
        *info = status;
    return fd;
}

}

Fd openRegular(int dirFd, const QByteArray& name, QString& why, struct stat* info, Links links)
{
    return openChecked(dirFd, name, O_RDONLY | (links == Links::Refuse ? O_NOFOLLOW : 0), S_IFREG, "a regular file",
                       why, info);
}

Fd openFolder(int dirFd, const QByteArray& name, QString& why, struct stat* info)
{
    return openChecked(dirFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW, S_IFDIR, "a folder", why, info);
}

Read readNamedFile(const QString& path, qint64 maxBytes, QByteArray& data, QString& why)
{
    return readSmall(AT_FDCWD, QFile::encodeName(path), maxBytes, data, why, Links::Follow);
}

Read readSmall(int dirFd, const QByteArray& name, qint64 maxBytes, QByteArray& data, QString& why, Links links)
{
    struct stat info {};
    const Fd fd = openRegular(dirFd, name, why, &info, links);
    if (!fd.isOpen())
        return Read::Unreadable;
    data.clear();
    char buffer[65536];
    for (;;) {
        const ssize_t got = ::read(fd.get(), buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            why = errnoText();
            return Read::Unreadable;
        }
        if (got == 0)
            return Read::Ok;
        if (data.size() + got > maxBytes) {
            why = QStringLiteral("it is larger than %1 bytes").arg(maxBytes);
            return Read::TooLarge;
        }
        data.append(buffer, int(got));
    }
}

bool copyAll(int in, int out, qint64 size, const std::function<bool()>& stop)
{
    const qint64 chunk = qint64(16) << 20;
    loff_t from = 0;
    loff_t to = 0;
    bool shared = true;
    while (from < size) {
        if (stop && stop()) {
            errno = EINTR;
            return false;
        }
        const auto length = size_t(std::min<qint64>(chunk, size - from));
        ssize_t done = -1;
        if (shared) {
            done = ::copy_file_range(in, &from, out, &to, length, 0);
            if (done < 0 && (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP)) {
                shared = false;  // an older kernel or a file system that cannot: copy through a buffer
                continue;
            }
        } else {
            done = ::sendfile(out, in, &from, length);
            to = from;
        }
        if (done < 0 && errno == EINTR)
            continue;
        if (done < 0)
            return false;
        if (done == 0) {
            errno = EIO;  // the source shrank while it was copied
            return false;
        }
    }
    return true;
}

bool writeNewFile(int dirFd, const QByteArray& name, const QByteArray& data)
{
    const Fd fd(::openat(dirFd, name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    return fd.isOpen() && writeAll(fd.get(), data.constData(), data.size()) && ::fsync(fd.get()) == 0;
}

}
