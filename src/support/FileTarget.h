#ifndef FILETARGET_H
#define FILETARGET_H

#include <QByteArray>
#include <QString>

#include <memory>

#include "support/PosixFiles.h"

// A file that the program makes or replaces whole, by name, in a folder that
// may be shared (/tmp, a spool folder): the --report file. The folder is
// opened once, when the target is named, and held open until the write, so
// the file lands in the very folder that was checked whatever is renamed
// meanwhile. Nothing is ever followed through a link: the new file is made
// beside the name and renamed onto it, which replaces the name itself.
class FileTarget {
public:
    // Opens the folder of path and checks the name, under the rules below.
    // False with why, a phrase that says what the path must be.
    //  - the folder exists, is a real folder (not a link) and may be written;
    //  - the name is not a link, and is new or a regular file;
    //  - the folder is not writable by others, unless it is sticky;
    //  - in a sticky folder, an existing name is the user's own (the rule
    //    of the kernel's protected_regular).
    bool open(const QString& path, QString& why);

    bool isSet() const { return folder != nullptr; }
    const QString& path() const { return shownPath; }

    // Writes data whole under the name, or leaves the name as it was: the
    // name is checked again, then replaced by a file made in the folder.
    bool write(const QByteArray& data, QString& why) const;

private:
    // The name as it stands now in the folder: may it be replaced?
    bool checkName(QString& why, struct stat* existing, bool& exists) const;

    QString shownPath;
    QByteArray name;
    struct stat folderInfo {};
    std::shared_ptr<const PosixFiles::Fd> folder;
};

#endif
