#ifndef ARGPARSER_H
#define ARGPARSER_H

#include <QList>
#include <QMap>
#include <QSslCertificate>
#include <QString>
#include <QStringList>
#include <QUrl>

#include "parse/ClientCertificate.h"
#include "support/ProgressLine.h"
#include "parse/ProxySetting.h"
#include "parse/RequestHeaders.h"

namespace ArgParser {

// The parsed command line of one run.
struct Options {
    enum ProxyType : qint32 { NoProxy = 0, SystemProxy = 1, ManualProxy = 2 };

    QUrl url;
    QString jsonFile;
    QString workDir;                     // empty, or ends in '/' or '\'
    QStringList files;
    QMap<QString, QString> postVariables;
    ProxyType proxyType = NoProxy;
    QString proxy;                       // the --proxy text, as given
    bool displayVersion = false;
    bool displayHelp = false;            // --help

    ProxySetting proxySetting;                 // the --proxy text, parsed

    // Crash-reporter options; their defaults keep the plain behaviour.
    QString caCertFile;                      // --cacert: verify against these CAs
    QList<QSslCertificate> caCertificates;   // loaded from caCertFile
    int idleTimeout = 0;                     // --idle-timeout seconds; 0: no limit
    int retry = 0;                           // --retry: further attempts on transient failures
    bool dryRun = false;                     // --dry-run: show the form, send nothing
    QString reportFile;                      // --report: JSON result written here

    // Credentials for the collector.
    RequestHeaders headers;                  // --header, on every POST to the URL's own origin
    QString clientCertFile;                  // --mtls-cert
    QString clientKeyFile;                   // --mtls-key
    QString clientKeyPassFile;               // --mtls-pass
    ClientCertificate clientCertificate;     // loaded from the three above

    // The queue of events that could not be delivered yet.
    QString queueDir;                        // --queue: keep the event here after a transient failure
    int queueMaxEvents = 100;                // --queue-max-events
    qint64 queueMaxBytes = qint64(2) << 30;  // --queue-max-bytes
    QString resendDir;                       // --resend: post every event kept there, and nothing else

    // Big dumps and people at terminals.
    int zipLevel = -1;                                       // --zip-level 0-9; -1: 7z's own default
    ProgressLine::Mode progress = ProgressLine::Mode::Auto;  // --progress
    int maxTime = 0;                                         // --max-time seconds for the upload phase; 0: none

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
