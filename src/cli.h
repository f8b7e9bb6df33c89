#ifndef CLI_H
#define CLI_H

#include <QByteArray>
#include <QDateTime>
#include <QEventLoop>
#include <QHttpPart>
#include <QList>
#include <QMap>
#include <QObject>
#include <QString>

#include "Uploader.h"
#include "argparser.h"

class QFile;
class QIODevice;
class QProcess;

// Drives one run: the version banner, or event id, archive, form, upload and report.
class Cli : public QObject {
    Q_OBJECT

public:
    // One form-data part as the server will see it; the zipFile body streams
    // from the open archive (bodyDevice), every other body is held in memory.
    struct FormPart {
        QByteArray name;
        QByteArray fileName;     // empty for a plain form variable
        QByteArray contentType;  // empty: no Content-Type header
        QByteArray body;
        QIODevice* bodyDevice = nullptr;

        QHttpPart toHttpPart() const;
    };

    Cli();
    ~Cli() override;

    bool init(int argc, char** argv);
    int run();
    const ArgParser::Options& getOptions() const;

    // 8 hex digits, '-', 4, '-', 4, '-', 1: the first 20 characters of a random UUID.
    static QString makeEventId();
    // The archiver's merged output as shown to the user: up to the first NUL,
    // each run of line ends and '|' made one line end, trimmed.
    static QString archiverMessage(QByteArray output);
    // Replaces $eventId, $org, $project and $type, in that order, in the JSON bytes.
    static QByteArray fillPlaceholders(QByteArray json, const QString& eventId, const QMap<QString, QString>& variables);
    // The event id followed by the JSON path from its last '.' on (the whole path when it has none).
    static QString jsonPartFileName(const QString& eventId, const QString& jsonPath);

    // Retries: which results are worth another attempt, and how long to wait
    // before retry number retryNumber (1, 2, ...); jitter is in [0, 1).
    static bool isTransient(int statusCode);
    static qint64 retryDelayMs(int retryNumber, int statusCode, const QByteArray& retryAfter, const QDateTime& now,
                               double jitter);
    // A Retry-After value (seconds, or an HTTP date) in ms from now; -1 when it is neither.
    static qint64 parseRetryAfterMs(const QByteArray& retryAfter, const QDateTime& now);

private:
    // What one run did, for the --report file.
    struct RunRecord {
        QString eventId;
        QString archivePath;
        qint64 archiveBytes = -1;
        bool posted = false;
        int statusCode = 0;
        QString errorString;
        int attempts = 0;
        Uploader::Exchange exchange;
    };

    int runSequence(RunRecord& record);
    bool archiveFiles(QProcess& archiver, const QString& archivePath, QString& error) const;
    bool buildForm(const QString& eventId, const QString& archiveName, QFile& archive, QList<FormPart>& form,
                   QString& error) const;
    Uploader::HTTPResponse upload(Uploader& uploader, const QList<FormPart>& form, QFile& archive, RunRecord& record) const;
    void printDryRun(const QList<FormPart>& form) const;
    void writeReport(const RunRecord& record, int exitCode, qint64 elapsedMs) const;

    ArgParser::Options options;
    QEventLoop eventLoop;
};

#endif
