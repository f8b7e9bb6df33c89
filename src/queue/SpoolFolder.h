#ifndef SPOOLFOLDER_H
#define SPOOLFOLDER_H

#include <QByteArray>
#include <QSet>
#include <QString>
#include <QStringList>

#include <sys/stat.h>

#include <functional>

#include "support/PosixFiles.h"

// The queue's folder, apart from what its entries hold: opened only when it is
// safe (a real folder of the user's own, not writable by anyone else), its
// names, the lock a resend holds, an entry removed or set aside, and the
// cleanup of what a writer or a removal left half done. Files are reached
// through the folder's descriptor and never through a link; nothing that is
// not the queue's own is read, moved or deleted.
class SpoolFolder {
public:
    enum class Opened { Ok, Missing, Unsafe };

    explicit SpoolFolder(QString directory);

    // Opens the folder, made first (private, parents as they come) when create
    // is set; otherwise says why it cannot be used.
    Opened open(bool create, QString& why);
    // What a person is shown for an entry: DIR/NAME.
    QString pathOf(const QString& name) const;
    // Whether the entry is still there: a queueing run may drop one at any time.
    bool holds(const QString& name) const;
    // Moves an entry under failed/, for a person to look at.
    bool moveToFailed(const QString& name, QString& why) const;
    // Renames the entry out of the way in one step, then removes its files.
    bool remove(const QString& name, QString& why) const;
    // Finishes removals that were cut short and clears entries that a writer
    // left half written and no longer holds.
    void clearLeftovers() const;

    // An exclusive hold on the queue for one resend, released when destroyed.
    // A second resend of the same queue waits for it, unless giveUp says to stop.
    class Lock {
    public:
        Lock(const SpoolFolder& folder, const std::function<bool()>& giveUp);
        bool isHeld() const;

    private:
        PosixFiles::Fd fd;
    };

    static QByteArray native(const QString& name);

    static constexpr const char* entryFile = "entry.json";
    static constexpr const char* entryUpdate = "entry.json.new";
    static constexpr const char* tempPrefix = ".tmp-";
    static constexpr const char* removalPrefix = ".del-";

protected:
    // The folder's names, sorted; realFolders, when given, gets those that the
    // listing itself says are folders (most file systems say so).
    QStringList names(QSet<QString>* realFolders = nullptr) const;
    void clearLeftovers(const QStringList& names) const;
    // Removes the files the format names, one by one, then the folder itself:
    // anything else in it keeps the folder, and nothing is followed.
    static bool removeEntryFolder(int parentFd, const QString& name, QString& why);
    // ".tmp-" and the 16 hex digits that an add gives it: only a name of that exact form is the queue's own.
    static bool isTempName(const QString& name);
    static bool sameFile(const struct stat& a, const struct stat& b);
    // The rules of sshd's StrictModes for a folder the queue writes in: the user's own, and no one else's to write.
    static bool isPrivateFolder(const struct stat& info, QString& why);

    QString dir;
    PosixFiles::Fd dirFd;
};

#endif
