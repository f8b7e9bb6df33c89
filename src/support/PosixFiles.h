#ifndef POSIXFILES_H
#define POSIXFILES_H

#include <QByteArray>
#include <QString>

#include <sys/stat.h>

#include <functional>

// Files reached through a folder's descriptor, never through a link, and
// never opened in a way that could block (a FIFO would): the queue's files
// and everything else the program reads or writes in folders it shares.
namespace PosixFiles {

// A descriptor that closes itself.
class Fd {
public:
    Fd() = default;
    explicit Fd(int descriptor);
    ~Fd();
    Fd(Fd&& other) noexcept;
    Fd& operator=(Fd&& other) noexcept;
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;

    int get() const { return fd; }
    bool isOpen() const { return fd >= 0; }
    int release();

private:
    int fd = -1;
};

QString errnoText(int error);
QString errnoText();

// Writes all of data, retrying after a signal; false with errno set.
bool writeAll(int fd, const char* data, qint64 size);

// Whether a final symbolic link is followed: never in a folder the program
// shares, always for a path the user named.
enum class Links { Refuse, Follow };

// Opens name (relative to dirFd, or a path when dirFd is AT_FDCWD) for reading
// only when it is a regular file, without waiting on a FIFO. The file's status
// goes to info when it is given.
Fd openRegular(int dirFd, const QByteArray& name, QString& why, struct stat* info = nullptr, Links links = Links::Refuse);
// The same for a folder: a real one, not a link to one.
Fd openFolder(int dirFd, const QByteArray& name, QString& why, struct stat* info = nullptr);

enum class Read { Ok, Unreadable, TooLarge };
// Reads a whole regular file of at most maxBytes.
Read readSmall(int dirFd, const QByteArray& name, qint64 maxBytes, QByteArray& data, QString& why,
               Links links = Links::Refuse);
// A file the user named: a regular file of at most maxBytes, links followed.
Read readNamedFile(const QString& path, qint64 maxBytes, QByteArray& data, QString& why);

// Copies size bytes from the start of in to out, sharing blocks where the file
// system can; false with errno set (EINTR when stop said so between two chunks).
bool copyAll(int in, int out, qint64 size, const std::function<bool()>& stop);

// Creates name under dirFd (exclusively, private), writes data and syncs it.
bool writeNewFile(int dirFd, const QByteArray& name, const QByteArray& data);

}

#endif
