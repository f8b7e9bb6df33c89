#ifndef DELIVERY_H
#define DELIVERY_H

#include <QHttpPart>
#include <QList>
#include <QUrl>

#include "Uploader.h"
#include "argparser.h"

class QIODevice;

// Gets one form to the collector with the transport options of the command
// line: the uploader's exchange, again after each transient failure as far as
// --retry allows, never past the deadline, and stopped by SIGINT or SIGTERM.
class Delivery {
public:
    struct Result {
        Uploader::HTTPResponse response;
        int attempts = 0;
        Uploader::Exchange exchange;

        // Worth another attempt later: by its code, or by the HTTP status
        // behind it (429 has no code of its own and comes out as 27).
        bool isTransient() const;
    };

    // Creates the uploader, which installs the process-wide proxy; progress
    // (which may be null) shows each upload.
    Delivery(const ArgParser::Options& options, ProgressLine* progress);

    Result deliver(const QUrl& url, const QList<QHttpPart>& parts, const QList<QIODevice*>& bodyDevices);
    // The run's deadline has passed: nothing more may be sent.
    bool deadlinePassed() const;

private:
    Uploader uploader;
    ProgressLine* progress;
    int retries;
    int maxTime;
    QDeadlineTimer deadline{QDeadlineTimer::Forever};  // started by the first deliver
};

#endif
