#include "zip/ZipNames.h"

#include <QFile>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "support/PosixFiles.h"

namespace {

ZipNames::Item itemOf(const QByteArray& path, const QByteArray& name, const struct stat& info)
{
    return {path, name, info.st_mode, qint64(info.st_size), info.st_mtime, info.st_dev, info.st_ino};
}

std::optional<QString> walk(const QByteArray& path, const QByteArray& prefix, std::vector<ZipNames::Item>& items);

// One path under its name and, for a folder, all it holds.
std::optional<QString> add(const QByteArray& path, const QByteArray& name, const struct stat& info,
                           std::vector<ZipNames::Item>& items)
{
    if (!S_ISDIR(info.st_mode)) {
        items.push_back(itemOf(path, name, info));
        return std::nullopt;
    }
    items.push_back(itemOf(path, name + '/', info));
    return walk(path, name + '/', items);
}

// The folder's contents under prefix (empty, or a name ending in '/'), in the order the list sorts later.
std::optional<QString> walk(const QByteArray& path, const QByteArray& prefix, std::vector<ZipNames::Item>& items)
{
    QString why;
    PosixFiles::Fd folder = PosixFiles::openFolder(AT_FDCWD, path, why);
    if (!folder.isOpen())
        return ZipNames::failedOn(path, why);
    DIR* listing = fdopendir(folder.get());
    if (!listing)
        return ZipNames::failedOn(path, PosixFiles::errnoText());
    folder.release();
    std::vector<QByteArray> names;
    while (const dirent* entry = readdir(listing)) {
        const QByteArray name(entry->d_name);
        if (name != "." && name != "..")
            names.push_back(name);
    }
    closedir(listing);
    for (const QByteArray& name : names) {
        const QByteArray childPath = path.endsWith('/') ? path + name : path + '/' + name;
        struct stat info = {};
        if (lstat(childPath.constData(), &info) != 0)
            return ZipNames::failedOn(childPath, PosixFiles::errnoText());
        if (std::optional<QString> failed = add(childPath, prefix + name, info, items))
            return failed;
    }
    return std::nullopt;
}

}

using ZipNames::Item;

QByteArray ZipNames::rootName(const QByteArray& input)
{
    QList<QByteArray> parts = input.split('/');
    parts.removeAll(QByteArray());
    if (parts.isEmpty() || parts.last() == "." || parts.last() == "..")
        return {};
    const bool clean = !input.startsWith('/') && !parts.contains(".") && !parts.contains("..");
    return clean ? parts.join('/') : parts.last();
}

QString ZipNames::failedOn(const QByteArray& path, const QString& why)
{
    return QFile::decodeName(path) + QStringLiteral(": ") + why;
}

bool ZipNames::inTreeOrder(const QByteArray& a, const QByteArray& b)
{
    // Component by component, which is byte by byte with '/' below every other byte:
    // "a/x" comes before "a b", as a folder's contents follow it. No copies: a sort calls it often.
    const auto rank = [](char c) { return c == '/' ? 0 : int(uchar(c)) + 1; };
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                        [&rank](char x, char y) { return rank(x) < rank(y); });
}

std::optional<QString> ZipNames::list(const QStringList& inputs, std::vector<Item>& items)
{
    items.clear();
    for (const QString& input : inputs) {
        const QByteArray path = QFile::encodeName(input);
        struct stat info = {};
        if (lstat(path.constData(), &info) != 0)
            return failedOn(path, PosixFiles::errnoText());
        const QByteArray name = rootName(path);
        if (name.isEmpty() && !S_ISDIR(info.st_mode))
            return failedOn(path, QStringLiteral("not a folder"));
        // A path ending in "." or "..": its contents without it.
        if (std::optional<QString> failed = name.isEmpty() ? walk(path, QByteArray(), items) : add(path, name, info, items))
            return failed;
    }
    std::stable_sort(items.begin(), items.end(),
                     [](const Item& a, const Item& b) { return inTreeOrder(a.name, b.name); });
    // A name twice: once when both are one folder or one file, else an error, as 7z has it.
    std::vector<Item> unique;
    for (Item& item : items) {
        if (!unique.empty() && unique.back().name == item.name) {
            const bool same = unique.back().device == item.device && unique.back().inode == item.inode;
            if (!same)
                return QStringLiteral("Duplicate filename on disk: ") + QFile::decodeName(item.name);
            continue;
        }
        unique.push_back(std::move(item));
    }
    items = std::move(unique);
    return std::nullopt;
}
