#ifndef CLI_H
#define CLI_H

#include <QElapsedTimer>
#include <QList>
#include <QString>

#include <optional>

#include "argparser.h"
#include "form/FormPart.h"
#include "report/RunRecord.h"

class BodyFile;
class ProgressLine;
class Uploader;

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

private:
    // One event: its steps, then its report and summary line; the exit code.
    int runEvent(ProgressLine& progress, const QElapsedTimer& clock);
    // archive → form → deliver → keep: how the first step that did not go well ended, or nothing.
    std::optional<Outcome> runSequence(RunRecord& record, ProgressLine& progress);
    // The archive, then the form around it (archive, its body, stays open for the upload);
    // with a resumable upload and the built-in engine, the upload is begun meanwhile.
    std::optional<Outcome> makeForm(const RunRecord& record, ProgressLine& progress, Uploader* uploader, BodyFile& archive,
                                    QList<FormPart>& form);
    // --resend: the queue's events, then the report and summary line; the exit code.
    int runResend(ProgressLine& progress, const QElapsedTimer& clock);

    ArgParser::Options options;
};

#endif
