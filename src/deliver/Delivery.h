#ifndef DELIVERY_H
#define DELIVERY_H

#include <QDeadlineTimer>
#include <QList>
#include <QSet>
#include <QUrl>

#include "form/FormPart.h"
#include "parse/TransportOptions.h"
#include "support/Outcome.h"
#include "post/PostResult.h"
#include "deliver/Poster.h"

class ProgressLine;

// Gets one form to the collector with the transport options of the command
// line: the poster's post, again after each transient failure as far as
// --retry allows, never past the deadline, and stopped by SIGINT or SIGTERM.
class Delivery {
public:
    // What becomes of the event: decided here, once, for the run and for the queue alike.
    enum class Verdict {
        Delivered,
        Keep,     // a later attempt may still deliver it
        Refused,  // it would only be refused again
        // A fault of this machine's own set-up: the proxy refused the credentials, TLS did not
        // verify, no usable Kerberos ticket. It says nothing about the event, and every other
        // event would meet it too: kept, untouched, until a person mends the set-up.
        OwnFault,
    };

    struct Result {
        PostResult post;  // of the last attempt; its outcome 200 when delivered, an accepted status included
        Verdict verdict = Verdict::Refused;
        int attempts = 0;
    };

    // progress (which may be null) shows the real wait before each retry.
    Delivery(Poster& poster, const TransportOptions& options, ProgressLine* progress);

    // Every part's body device, if it has one, is rewound before each attempt;
    // eventHeaders go with every request (the Idempotency-Key of --hash-parts).
    Result deliver(const QUrl& url, const QList<FormPart>& form, const QList<RequestHeaders::Header>& eventHeaders = {});
    // The run's deadline has passed: nothing more may be sent.
    bool deadlinePassed() const;
    // The deadline of a run that began before its first delivery (a resend's, which waits for its lock).
    void setDeadline(QDeadlineTimer runDeadline) { deadline = runDeadline; }

    // Worth another attempt: by its code, or by the HTTP status behind it
    // (429 has no code of its own and comes out as 27).
    static bool isTransient(const PostResult& post);
    // accepted: statuses that deliver as 200 does (--accept-status).
    static Verdict verdict(const PostResult& post, const QSet<int>& accepted = {});

private:
    // The wait before the next attempt, cut short by the deadline or a signal;
    // false, with the outcome set, when the run must stop instead.
    bool waitToRetry(int attempt, Result& result);

    Poster& poster;
    ProgressLine* progress;
    int retries;
    int maxTime;
    QSet<int> accepted;
    QDeadlineTimer deadline{QDeadlineTimer::Forever};  // started by the first deliver
};

#endif
