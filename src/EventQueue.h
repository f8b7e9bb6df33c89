#ifndef EVENTQUEUE_H
#define EVENTQUEUE_H

#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <functional>

#include "FormPart.h"

// A spool directory of events that could not be delivered yet, each kept
// whole so that a later run posts the same form again: the same event id, the
// same parts and bytes. Layout:
//   DIR/                            mode 0700
//     .lock                         held by a resend (flock), so that two never send one entry
//     YYYYMMDDTHHMMSS.zzzZ-EVENTID/ one entry, mode 0700; names sort oldest first
//       entry.json                  url, created, attempts, last status and error, the parts' headers
//       part-0 ... part-N           the parts' bodies, mode 0600; the archive hard-linked when it can be
//     failed/                       entries that a resend found permanently refused
//     .tmp-PID-*/                   an entry being written; renamed into place only when whole
// Credentials given with --header, --mtls-* or a proxy are never stored; the
// URL is, with any password it holds, which is why everything is private.
class EventQueue {
public:
    struct Entry {
        QString path;  // the entry's directory
        QString eventId;
        QUrl url;
        QDateTime created;
        int attempts = 0;
        int lastStatus = 0;
        QString lastError;
        QList<FormPart> parts;  // bodyFile set, body empty: the bodies stay on disk
        qint64 bytes = 0;       // everything the entry holds on disk
    };

    struct Limits {
        int maxEvents = 100;
        qint64 maxBytes = qint64(2) << 30;
    };

    explicit EventQueue(QString directory);
    EventQueue(QString directory, Limits limits);

    // Keeps one event: every part's body comes from part.body, or from the
    // file part.bodyFile. Entries are dropped oldest first to make room, each
    // named in dropped. False with why when nothing could be kept; older
    // entries are then as they were.
    bool add(const Entry& event, QString& entryPath, QStringList& dropped, QString& why) const;

    // The entries' directories, oldest first.
    QStringList entries() const;
    static bool read(const QString& entryPath, Entry& entry, QString& why);
    // Rewrites the entry's description (attempts, last status and error), whole or not at all.
    static bool update(const Entry& entry);
    // Moves an entry under failed/, for a person to look at.
    bool moveToFailed(const QString& entryPath) const;
    static bool remove(const QString& entryPath);

    const QString& directory() const;

    // An exclusive hold on the queue for one resend, released when destroyed.
    // A second resend of the same queue waits for it, unless giveUp says to stop.
    class Lock {
    public:
        Lock(const QString& directory, const std::function<bool()>& giveUp);
        ~Lock();
        Lock(const Lock&) = delete;
        Lock& operator=(const Lock&) = delete;
        bool isHeld() const;

    private:
        int fd = -1;
    };

private:
    QString dir;
    Limits limits;
};

#endif
