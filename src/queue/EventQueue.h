#ifndef EVENTQUEUE_H
#define EVENTQUEUE_H

#include <QFile>
#include <QHash>
#include <QSet>
#include <QString>
#include <QStringList>

#include <sys/types.h>

#include <functional>
#include <memory>
#include <vector>

#include "form/BodyFile.h"
#include "queue/QueueEntry.h"
#include "queue/QueueLimits.h"
#include "support/PosixFiles.h"

// What each entry takes, found by an earlier look at a queue's folder (dev, ino): an add
// into that same folder counts a name found there by it instead of looking again.
struct QueueSizes {
    dev_t dev = 0;
    ino_t ino = 0;
    QHash<QString, qint64> bytes;
};

// A spool folder of events that could not be delivered yet, each kept whole
// so that a later run posts the same form again. Layout:
//   DIR/                            a real folder of the user's own, mode 0700
//     .lock                         held by a resend (flock), so that two never send one entry
//     YYYYMMDDTHHMMSS.zzzZ-EVENTID/ one entry, mode 0700; names sort oldest first
//       entry.json                  the description (see QueueEntry), the entry's marker
//       part-N                      the bodies of the parts with a file name, mode 0600
//     failed/                       entries that a resend found permanently refused
//     .tmp-RANDOM/                  an entry being written, flock-ed by its writer;
//                                   renamed into place only when whole
//     .del-NAME/                    an entry being removed: renamed first, then emptied
// Everything else in DIR is left alone: never read, counted, moved or deleted.
// The folder is used only when it is safe: no link, owned by the user, not
// writable by anyone else. Files are reached through the folder's descriptor
// and never through a link. Credentials given with --header, --mtls-* or a
// proxy are never stored; the URL is, with any password it holds, which is
// why everything is private.
class EventQueue {
public:
    using Entry = QueueEntry;

    using Limits = QueueLimits;

    enum class Opened { Ok, Missing, Unsafe };

    // An entry read back: its description, and its bodies open and checked
    // against the recorded sizes and digests, ready to be posted again.
    struct Kept {
        QString name;
        Entry entry;
        PosixFiles::Fd folder;
        std::vector<std::unique_ptr<BodyFile>> bodies;
    };

    using Sizes = QueueSizes;

    explicit EventQueue(QString directory);
    EventQueue(QString directory, Limits limits);

    // Opens the folder, made first (private, parents as they come) when create
    // is set; otherwise says why it cannot be used.
    Opened open(bool create, QString& why);

    // Keeps one event: every part's body comes from part.body, or from the
    // file part.bodyFile. Entries are dropped oldest first to make room, each
    // named in dropped. False with why when nothing could be kept; older
    // entries are then as they were. A copy under way ends when stop says so.
    bool add(const Entry& event, QString& entryPath, QStringList& dropped, QString& why,
             const std::function<bool()>& stop = {}, const Sizes& known = {}) const;

    // Every entry and its bytes, as add counts them; when stop says so, what was counted by then.
    Sizes sizes(const std::function<bool()>& stop = {}) const;

    // The entries' folder names, oldest first.
    QStringList entries() const;
    // Whether the entry is still there: a queueing run may drop one at any time.
    bool holds(const QString& name) const;
    // What a person is shown for an entry: DIR/NAME.
    QString pathOf(const QString& name) const;
    bool read(const QString& name, Kept& kept, QString& why) const;
    // Rewrites the entry's description, whole or not at all.
    static bool update(const Kept& kept, QString& why);
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
        Lock(const EventQueue& queue, const std::function<bool()>& giveUp);
        bool isHeld() const;

    private:
        PosixFiles::Fd fd;
    };

private:
    static bool storeBodies(int entryFd, const Entry& event, Entry& stored, QString& why,
                            const std::function<bool()>& stop);
    // Drops the oldest of the entries among names until one more of newBytes fits both limits.
    void makeRoom(const QStringList& names, const QSet<QString>& folders, qint64 newBytes, const Sizes& known,
                  QStringList& dropped) const;
    // The entries among the folder's names (folders: those its listing says are real folders),
    // oldest first; with bytes, what each takes, counted afresh unless known holds it. The
    // entries before stop said so, when it does.
    QStringList listEntries(const QStringList& names, const QSet<QString>& folders, QList<qint64>* bytes,
                            const Sizes& known = {}, const std::function<bool()>& stop = {}) const;
    void clearLeftovers(const QStringList& names) const;

    QString dir;
    Limits limits;
    PosixFiles::Fd dirFd;
};

#endif
