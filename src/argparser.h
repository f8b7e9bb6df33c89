#ifndef ARGPARSER_H
#define ARGPARSER_H

#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QUrl>

#include "parse/TransportOptions.h"
#include "queue/QueueLimits.h"
#include "support/FileTarget.h"
#include "support/ProgressMode.h"

namespace ArgParser {

// The parsed command line of one run.
struct Options {
    using ProxyType = TransportOptions::ProxyType;
    static constexpr ProxyType NoProxy = TransportOptions::NoProxy;
    static constexpr ProxyType SystemProxy = TransportOptions::SystemProxy;
    static constexpr ProxyType ManualProxy = TransportOptions::ManualProxy;

    QUrl url;
    QString jsonFile;
    QString workDir;                     // empty, or ends in '/' or '\'
    QStringList files;
    QMap<QString, QString> postVariables;
    ProxyType proxyType = NoProxy;
    QString proxy;                       // the --proxy text, as given
    bool displayVersion = false;
    bool displayHelp = false;            // --help

    // Crash-reporter options; their defaults keep the plain behaviour. --cacert's
    // certificates are the transport's.
    bool dryRun = false;                     // --dry-run: show the form, send nothing
    bool hashParts = false;                  // --hash-parts: digests and an Idempotency-Key
    FileTarget report;                       // --report: the JSON result's file, its folder held open and checked from the start

    // Credentials for the collector.
    QString clientCertFile;                  // --mtls-cert
    QString clientKeyFile;                   // --mtls-key
    QString clientKeyPassFile;               // --mtls-pass

    // The queue of events that could not be delivered yet.
    QString queueDir;                        // --queue: keep the event here after a transient failure
    QueueLimits queueLimits;                 // --queue-max-events, --queue-max-bytes
    QString resendDir;                       // --resend: post every event kept there, and nothing else
    bool allEntries = false;                 // --all-entries: every one now, even those put off

    // Big dumps and people at terminals.
    int zipLevel = -1;                                       // --zip-level 0-9; -1: 7z's own default
    bool builtinArchiver = false;                            // --archiver builtin: no 7z
    bool resumable = false;                                  // --protocol tus: a resumable upload, not a POST
    ProgressMode progress = ProgressMode::Auto;              // --progress

    // How every post travels: the proxy (its type is proxyType's), the certificates
    // loaded from the files above, --header, --idle-timeout, --retry and --max-time.
    TransportOptions transport;

    // Prints the first missing mandatory option and the usage text when it fails.
    bool isValid() const;
};

// Fills options from the arguments; prints the problem and the usage text and
// returns false when the command line is not accepted.
bool generateTask(int argc, char** argv, Options& options);

// Every long option the parser takes, as "--name", in its table's order.
QStringList longOptionNames();
// What --help prints.
const char* helpText();

}

#endif
