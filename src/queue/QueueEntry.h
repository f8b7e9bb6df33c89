#ifndef QUEUEENTRY_H
#define QUEUEENTRY_H

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>
#include <QUrl>

#include <optional>

#include "form/FormPart.h"
#include "tus/TusProgress.h"

// One kept event as its entry.json describes it. The form variables live in
// the description; each part with a file name (the JSON and the archive)
// keeps its body in a file of the entry, part-N for part N, whose size and
// sha256 are recorded so that a resend sends exactly what was kept.
struct QueueEntry {
    struct StoredBody {
        int part = 0;  // index into parts
        qint64 size = 0;
        QByteArray sha256;  // lowercase hex
    };

    QString eventId;
    QUrl url;
    QDateTime created;
    int attempts = 0;
    int lastStatus = 0;
    QString lastError;
    bool failed = false;  // refused for good, but failed/ could not take it: never posted again
    // When a resend may post it again: a transient failure puts it off, an hour after the
    // first and twice as long after each further one, a day at the most. Invalid: now.
    QDateTime nextAttempt;
    int backoffSeconds = 0;  // the last delay; 0 until a resend has failed
    bool hashParts = false;  // kept with --hash-parts: resent with its digests and its Idempotency-Key
    QList<FormPart> parts;
    QList<StoredBody> bodies;
    // Kept with --protocol tus: resent as the same upload, on from where the server stands.
    std::optional<ResumableUpload> upload;

    static constexpr int format = 2;
    // An entry of a resumable upload: an older reader, which would post it to the upload's
    // creation URL, sets it aside instead.
    static constexpr int resumableFormat = 3;
    static constexpr int maxBodies = 2;
    static constexpr int maxErrorChars = 1024;
    static constexpr int maxAttempts = 1000000;
    static constexpr qint64 maxDescriptionBytes = qint64(8) << 20;
    static constexpr int firstBackoffSeconds = 3600;
    static constexpr int maxBackoffSeconds = 86400;

    // Whether a part's body is kept in a file of its own.
    static bool storedInFile(const FormPart& part);
    static QByteArray bodyFileName(int part);
    // "20261209T101112.123Z-EVENTID": what an entry's folder is called.
    static QString folderName(const QDateTime& created, const QString& eventId);
    // True when name is an entry folder's name; its event id goes to eventId.
    static bool isFolderName(const QString& name, QString* eventId = nullptr);

    // Adds n attempts and records an outcome, within the format's bounds.
    void recordOutcome(int moreAttempts, int status, const QString& error);
    // Puts the next attempt off after a resend's transient failure at now.
    void backOff(const QDateTime& now);
    // Whether a resend at now may post it. A next time further ahead than the entry's own
    // wait was set by a clock that has since gone back: due now, not parked for years.
    bool isDue(const QDateTime& now) const
    {
        return !nextAttempt.isValid() || nextAttempt <= now || nextAttempt > now.addSecs(backoffSeconds);
    }

    QByteArray toJson() const;
    // Reads a description back, as strictly as the command line reads the same
    // values: anything out of bounds or malformed makes it false with why.
    // folder is the entry's folder name, whose event id must match.
    static bool fromJson(const QByteArray& json, const QString& folder, QueueEntry& entry, QString& why);
};

#endif
