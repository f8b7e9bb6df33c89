#ifndef ARCHIVER_H
#define ARCHIVER_H

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

#include "archive/ProcessGroup.h"
#include "support/Outcome.h"

class ProgressLine;

// The archive step: 7z packs the inputs into the archive, in a process group
// of its own, its output read as it comes, kept up to a bound and shown; a
// signal to stop ends it and whatever it started. The child process lives as
// long as this object, which the run keeps to its end.
class Archiver {
public:
    // zipLevel 0-9, or -1 for 7z's own default.
    Archiver(QStringList files, int zipLevel);

    // Makes archivePath; meanwhile is called once 7z runs, for work that can
    // use the time. Prints what the step prints (7z's output, or its failure)
    // and gives the failure, or nothing when 7z ended with 0.
    std::optional<Outcome> run(const QString& archivePath, ProgressLine& progress, const std::function<void()>& meanwhile);

    // The archiver's command line: "a", the compression level when one is
    // given (zipLevel 0-9; -1 for none), the archive, the inputs; a path that 7z
    // would read as a switch ('-') or a list file ('@') goes as "./" and the path,
    // and a path with '*' or '?' anywhere adds -spd, so that none is a wildcard.
    static QStringList arguments(const QString& archivePath, const QStringList& files, int zipLevel = -1);
    // A path as 7z is given it: one that 7z would read as a switch ('-') or a
    // list file ('@') goes as "./" and the path.
    static QString pathArgument(const QString& path);
    // The archiver's merged output as shown to the user: up to the first NUL,
    // each run of line ends and '|' made one line end, trimmed.
    static QString message(QByteArray output);

private:
    // Waits for 7z to end, reading its output; the signal that stopped it, or 0.
    int waitForEnd(ProgressLine& progress);

    QStringList files;
    int zipLevel;
    GroupedProcess process;
    QByteArray output;
    qint64 leftOut = 0;
};

#endif
