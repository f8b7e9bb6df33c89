#ifndef TRANSPORTOPTIONS_H
#define TRANSPORTOPTIONS_H

#include <QDeadlineTimer>
#include <QSet>

#include "parse/CaCertificates.h"
#include "parse/ClientCertificate.h"
#include "parse/ProxySetting.h"
#include "parse/RequestHeaders.h"

// How every post of a run travels, as the command line sets it: made once by
// the parser, read by the delivery and by the uploader alike.
struct TransportOptions {
    enum ProxyType : qint32 { NoProxy = 0, SystemProxy = 1, ManualProxy = 2 };

    ProxyType proxyType = NoProxy;
    ProxySetting proxySetting;              // read only for ManualProxy
    CaCertificates caCertificates;          // --cacert: verify against these; unset: accept every certificate
    ClientCertificate clientCertificate;    // --mtls-cert, --mtls-key, --mtls-pass
    RequestHeaders headers;                 // --header, on every POST to the URL's own origin
    int idleTimeout = 0;                    // --idle-timeout seconds; 0: no limit
    int retry = 0;                          // --retry: further attempts on transient failures
    int maxTime = 0;                        // --max-time seconds for the upload phase; 0: none
    bool kerberos = false;                  // --kerberos: a Negotiate token for the HTTP proxy
    QSet<int> acceptStatus;                 // --accept-status: 2xx statuses that deliver as 200 does

    // The upload phase's deadline, begun now: --max-time from here, or none.
    static QDeadlineTimer deadlineFromNow(int maxTimeSeconds)
    {
        return maxTimeSeconds > 0 ? QDeadlineTimer(qint64(maxTimeSeconds) * 1000) : QDeadlineTimer(QDeadlineTimer::Forever);
    }
};

#endif
