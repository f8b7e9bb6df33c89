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
    };

    // Creates the uploader, which installs the process-wide proxy.
    explicit Delivery(const ArgParser::Options& options);

    Result deliver(const QUrl& url, const QList<QHttpPart>& parts, const QList<QIODevice*>& bodyDevices);

private:
    Uploader uploader;
    int retries;
};

#endif
