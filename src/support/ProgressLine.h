#ifndef PROGRESSLINE_H
#define PROGRESSLINE_H

#include <QElapsedTimer>
#include <QString>

#include "support/ProgressMode.h"

// One line on standard error for a person at a terminal: how far the archive
// and the upload have come, rewritten in place, cut to the terminal's width
// and cleared before any other line is printed, then one summary line at the
// end. When it is off, nothing is written at all, so scripts see exactly the
// output they always did.
class ProgressLine {
public:
    using Mode = ProgressMode;

    explicit ProgressLine(Mode mode);
    ~ProgressLine();
    ProgressLine(const ProgressLine&) = delete;
    ProgressLine& operator=(const ProgressLine&) = delete;

    bool isOn() const { return on; }

    // How much of its inputs' total the archiver has read, and the time since it started.
    void archiving(qint64 readBytes, qint64 totalBytes, qint64 elapsedMs);
    // The body sent so far of total; a smaller sent than before starts a new upload.
    // Once all is sent, the line says that the server is being waited for.
    void uploading(qint64 sent, qint64 total);
    // Called a few times a second while an exchange is waited for: keeps the waiting time current.
    void tick();
    void clear();
    // The run's last line, when the progress line is on.
    void summary(const QString& text);

    // The line as a terminal of that many columns shows it: text when it fits, else
    // shortText, its numbers with fewer words, cut to the width when even that is too
    // wide: never wider, so that it never wraps.
    static QString fitted(const QString& text, const QString& shortText, int columns);

private:
    void show(const QString& text, const QString& shortText, bool force);
    void showWaiting(bool force);

    bool on;
    bool shown = false;
    QElapsedTimer sinceDrawn;
    QElapsedTimer sinceUploadStart;
    QElapsedTimer sinceAllSent;  // valid while the whole body is sent and the answer awaited
    qint64 lastSent = -1;
    qint64 lastTotal = 0;
};

#endif
