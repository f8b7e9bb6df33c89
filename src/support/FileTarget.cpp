#include "support/FileTarget.h"

#include <QFile>
#include <QRandomGenerator>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace {

// Told by the name's own type, not by the words of the refusal.
bool isLink(const QByteArray& path)
{
    struct stat info {};
    return ::lstat(path.constData(), &info) == 0 && S_ISLNK(info.st_mode);
}

// Why a name may not be written, as the command line is told (what it must
// be) and as a failed write says (what was found).
enum class Refusal { None, NoName, NoFolder, FolderLink, FolderReadOnly, Link, NotRegular, OpenFolder, Foreign };

struct RefusalText {
    Refusal refusal;
    const char* expected;
    const char* found;
};

const RefusalText refusal_texts[] = {
    {Refusal::NoName, "a file name", "no file name"},
    {Refusal::NoFolder, "a file in a folder that exists", "its folder does not exist"},
    {Refusal::FolderLink, "a file in a real folder, not in a link to one", "its folder is a symbolic link"},
    {Refusal::FolderReadOnly, "a file in a folder that can be written", "its folder cannot be written"},
    {Refusal::Link, "a name that is not a symbolic link", "it is a symbolic link"},
    {Refusal::NotRegular, "a new file, or a regular file to replace", "it is not a regular file"},
    {Refusal::OpenFolder, "a file in a folder that others cannot write, unless it is sticky",
     "its folder is writable by others and not sticky"},
    {Refusal::Foreign, "in a sticky folder, a new file or one of your own", "it belongs to another user"},
};

QString expectedText(Refusal refusal)
{
    for (const RefusalText& text : refusal_texts) {
        if (text.refusal == refusal)
            return QLatin1String(text.expected);
    }
    return {};
}

QString foundText(Refusal refusal)
{
    for (const RefusalText& text : refusal_texts) {
        if (text.refusal == refusal)
            return QLatin1String(text.found);
    }
    return {};
}

// The rules of the name itself, against its folder: not a link, a regular
// file if it exists, and one's own in a sticky folder.
Refusal nameRefusal(int folderFd, const struct stat& folder, const QByteArray& name, struct stat& info, bool& exists)
{
    exists = ::fstatat(folderFd, name.constData(), &info, AT_SYMLINK_NOFOLLOW) == 0;
    if (!exists)
        return Refusal::None;
    if (S_ISLNK(info.st_mode))
        return Refusal::Link;
    if (!S_ISREG(info.st_mode))
        return Refusal::NotRegular;
    if ((folder.st_mode & S_ISVTX) != 0 && info.st_uid != ::geteuid())
        return Refusal::Foreign;
    return Refusal::None;
}

}

bool FileTarget::open(const QString& path, QString& why)
{
    shownPath = path;
    folder.reset();
    const int slash = path.lastIndexOf(QLatin1Char('/'));
    name = QFile::encodeName(path.mid(slash + 1));
    const QByteArray folderPath = slash < 0 ? QByteArray(".") : slash == 0 ? QByteArray("/") : QFile::encodeName(path.left(slash));
    Refusal refusal = Refusal::None;
    QString problem;
    auto opened = std::make_shared<PosixFiles::Fd>();
    if (name.isEmpty() || name == "." || name == "..")
        refusal = Refusal::NoName;
    else if (!(*opened = PosixFiles::openFolder(AT_FDCWD, folderPath, problem, &folderInfo)).isOpen())
        refusal = isLink(folderPath) ? Refusal::FolderLink : Refusal::NoFolder;
    else if (::faccessat(opened->get(), ".", W_OK | X_OK, AT_EACCESS) != 0)
        refusal = Refusal::FolderReadOnly;
    else if ((folderInfo.st_mode & S_IWOTH) != 0 && (folderInfo.st_mode & S_ISVTX) == 0)
        refusal = Refusal::OpenFolder;
    if (refusal == Refusal::None) {
        struct stat info {};
        bool exists = false;
        refusal = nameRefusal(opened->get(), folderInfo, name, info, exists);
    }
    if (refusal != Refusal::None) {
        why = expectedText(refusal);
        return false;
    }
    folder = std::move(opened);
    return true;
}

bool FileTarget::checkName(QString& why, struct stat* existing, bool& exists) const
{
    const Refusal refusal = nameRefusal(folder->get(), folderInfo, name, *existing, exists);
    why = foundText(refusal);
    return refusal == Refusal::None;
}

bool FileTarget::write(const QByteArray& data, QString& why) const
{
    if (!folder) {
        why = foundText(Refusal::NoName);
        return false;
    }
    struct stat existing {};
    bool exists = false;
    if (!checkName(why, &existing, exists))
        return false;
    const QByteArray temp = ".quillfast-"
        + QByteArray::number(QRandomGenerator::global()->generate64(), 16).rightJustified(16, '0');
    const int dir = folder->get();
    // Private, or the permissions of the user's own file that it replaces: never a foreign
    // file's, nor a set-id or sticky bit.
    const bool keepMode = exists && existing.st_uid == ::geteuid();
    PosixFiles::Fd out(::openat(dir, temp.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    const bool written = out.isOpen() && (!keepMode || ::fchmod(out.get(), existing.st_mode & 0777) == 0)
        && PosixFiles::writeAll(out.get(), data.constData(), data.size()) && ::fsync(out.get()) == 0
        && ::renameat(dir, temp.constData(), dir, name.constData()) == 0;
    if (!written) {
        why = PosixFiles::errnoText();
        if (out.isOpen())
            ::unlinkat(dir, temp.constData(), 0);
        return false;
    }
    ::fsync(dir);
    return true;
}
