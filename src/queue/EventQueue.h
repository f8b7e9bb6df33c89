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
#include "queue/SpoolFolder.h"
#include "support/PosixFiles.h"

// What each entry takes, found by an earlier look at a queue's folder (dev, ino): an add
// into that same folder counts a name found there by it instead of looking again.
struct QueueSizes {
    dev_t dev = 0;
    ino_t ino = 0;
    QHash<QString, qint64> bytes;
};

// The events that could not be delivered yet, each kept whole so that a
// later run posts the same form again, in a spool folder (SpoolFolder). Layout:
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
// Credentials given with --header, --mtls-* or a proxy are never stored; the
// URL is, with any password it holds, which is why everything is private.
// This unit writes, reads and checks entries; QueueCount.cpp counts them and
// makes room.
class EventQueue : public SpoolFolder {
public:
    // An entry read back: its description, and its bodies open and checked
    // against the recorded sizes and digests, ready to be posted again.
    struct Kept {
        QString name;
        QueueEntry entry;
        PosixFiles::Fd folder;
        std::vector<std::unique_ptr<BodyFile>> bodies;
    };

    explicit EventQueue(QString directory, QueueLimits limits = QueueLimits());

    // Keeps one event: every part's body comes from part.body, or from the
    // file part.bodyFile. Entries are dropped oldest first to make room, each
    // named in dropped. False with why when nothing could be kept; older
    // entries are then as they were. A copy under way ends when stop says so.
    bool add(const QueueEntry& event, QString& entryPath, QStringList& dropped, QString& why,
             const std::function<bool()>& stop = {}, const QueueSizes& known = {}) const;
    bool read(const QString& name, Kept& kept, QString& why) const;
    // Rewrites the entry's description, whole or not at all.
    static bool update(const Kept& kept, QString& why);

    // The entries' folder names, oldest first.
    QStringList entries() const;
    // Every entry and its bytes, as add counts them; when stop says so, what was counted by then.
    QueueSizes sizes(const std::function<bool()>& stop = {}) const;

private:
    static bool storeBodies(int entryFd, const QueueEntry& event, QueueEntry& stored, QString& why,
                            const std::function<bool()>& stop);
    // Drops the oldest of the entries among names until one more of newBytes fits both limits.
    void makeRoom(const QStringList& names, const QSet<QString>& folders, qint64 newBytes, const QueueSizes& known,
                  QStringList& dropped) const;
    // The entries among the folder's names (folders: those its listing says are real folders),
    // oldest first; with bytes, what each takes, counted afresh unless known holds it. The
    // entries before stop said so, when it does.
    QStringList listEntries(const QStringList& names, const QSet<QString>& folders, QList<qint64>* bytes,
                            const QueueSizes& known = {}, const std::function<bool()>& stop = {}) const;

    QueueLimits limits;
};

#endif
