#ifndef RETRYPOLICY_H
#define RETRYPOLICY_H

#include <QByteArray>
#include <QDateTime>

// Which results are worth another attempt, and how long to wait before it.
namespace RetryPolicy {

bool isTransient(int statusCode);
// The wait before retry number retryNumber (1, 2, ...); jitter is in [0, 1).
qint64 delayMs(int retryNumber, int statusCode, const QByteArray& retryAfter, const QDateTime& now, double jitter);
// A Retry-After value (seconds, or an HTTP date) in ms from now; -1 when it is neither.
qint64 parseRetryAfterMs(const QByteArray& retryAfter, const QDateTime& now);

}

#endif
