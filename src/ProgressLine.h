#ifndef PROGRESSLINE_H
#define PROGRESSLINE_H

#include <QElapsedTimer>
#include <QString>

// One line on standard error for a person at a terminal: how far the archive
// and the upload have come, rewritten in place and cleared before any other
// line is printed. When it is off, nothing is written at all, so scripts see
// exactly the output they always did.
class ProgressLine {
public:
    enum class Mode { Auto, Always, Never };  // Auto: on when standard error is a terminal

    explicit ProgressLine(Mode mode);
    ~ProgressLine();
    ProgressLine(const ProgressLine&) = delete;
    ProgressLine& operator=(const ProgressLine&) = delete;

    // The archive's size so far, and the time since the archiver started.
    void archiving(qint64 archiveBytes, qint64 elapsedMs);
    // The body sent so far of total; a smaller sent than before starts a new upload.
    void uploading(qint64 sent, qint64 total);
    void clear();

    // "Auto", "always" or "never" as the command line gives it; false for anything else.
    static bool parseMode(const QString& text, Mode& mode);

private:
    void show(const QString& text, bool force);

    bool on;
    bool shown = false;
    QElapsedTimer sinceDrawn;
    QElapsedTimer sinceUploadStart;
    qint64 lastSent = -1;
};

#endif
