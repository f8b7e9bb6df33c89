#ifndef CLI_H
#define CLI_H

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>

#include "argparser.h"
#include "form/FormPart.h"
#include "report/RunRecord.h"

class QFile;
class GroupedProcess;
class ProgressLine;

// Drives one run: the version banner, or event id, archive, form, upload and report.
class Cli {
public:
    Cli();
    ~Cli();

    bool init(int argc, char** argv);
    int run();
    const ArgParser::Options& getOptions() const;

    // 8 hex digits, '-', 4, '-', 4, '-', 1: the first 20 characters of a random UUID.
    static QString makeEventId();
    // The archiver's command line: "a", the compression level when one is
    // given (zipLevel 0-9; -1 for none), the archive, the inputs; a path that 7z
    // would read as a switch ('-') or a list file ('@') goes as "./" and the path,
    // and a path with '*' or '?' anywhere adds -spd, so that none is a wildcard.
    static QStringList archiverArguments(const QString& archivePath, const QStringList& files, int zipLevel = -1);
    // The archiver's merged output as shown to the user: up to the first NUL,
    // each run of line ends and '|' made one line end, trimmed.
    static QString archiverMessage(QByteArray output);

private:
    int runSequence(RunRecord& record, ProgressLine& progress);
    int archiveFiles(GroupedProcess& archiver, RunRecord& record, ProgressLine& progress) const;
    bool buildForm(const QString& archiveName, QFile& archive, QList<FormPart>& form, RunRecord& record) const;
    // 0, or the code of a signal that stopped the keeping.
    int keepInQueue(const QList<FormPart>& form, RunRecord& record) const;
    // The last line a person at a terminal sees: the event, where it went, its status and the time.
    QString summaryLine(const RunRecord& record, int exitCode, qint64 elapsedMs) const;

    ArgParser::Options options;
};

#endif
