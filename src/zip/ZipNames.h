#ifndef ZIPNAMES_H
#define ZIPNAMES_H

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <sys/types.h>

#include <ctime>
#include <optional>
#include <vector>

// What goes into the archive for the inputs given, named and ordered as 7z
// names and orders them: a clean relative path keeps its folders ("d/a.txt");
// an absolute path, or one through "." or "..", keeps its last name only; a
// path ending in "." or ".." gives its folder's contents. A folder brings all
// it holds; the whole list is in tree order, names compared byte by byte.
// Nothing is followed through a link: a link is an entry of its own.
namespace ZipNames {

struct Item {
    QByteArray path;  // where it is read
    QByteArray name;  // its name in the archive; a folder's ends in '/'
    mode_t mode = 0;
    qint64 size = 0;
    std::time_t mtime = 0;
    dev_t device = 0;
    ino_t inode = 0;
};

// The name an input's root takes, or an empty one when its contents go in
// without it (a path ending in "." or "..").
QByteArray rootName(const QByteArray& input);

// Every item for the inputs, in the archive's order; the first that cannot be
// read, or a name given twice, as a message.
std::optional<QString> list(const QStringList& inputs, std::vector<Item>& items);

// Whether a comes before b in tree order.
bool inTreeOrder(const QByteArray& a, const QByteArray& b);

// A failure on a path, as the archive step says it: "PATH: why".
QString failedOn(const QByteArray& path, const QString& why);

}

#endif
