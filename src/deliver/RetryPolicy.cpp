#include "deliver/RetryPolicy.h"

#include <QLocale>
#include <QString>

#include <algorithm>
#include <iterator>
#include <limits>

#include "support/exitcodes.h"

namespace RetryPolicy {

bool isTransient(int statusCode)
{
    static const int transient[] = {
        ExitCode::ConnectionRefused, ExitCode::RemoteHostClosed, ExitCode::HostNotFound, ExitCode::Timeout,
        ExitCode::TemporaryNetworkFailure, ExitCode::ProxyConnectionClosed, ExitCode::ProxyTimeout,
        HttpStatus::RequestTimeout, HttpStatus::TooManyRequests, HttpStatus::InternalServerError,
        HttpStatus::BadGateway, HttpStatus::ServiceUnavailable, HttpStatus::GatewayTimeout,
    };
    // An interim answer (1xx, but 100, which Qt skips) read as the final one: the real one was lost.
    const bool interimOnly = statusCode > 100 && statusCode < 200;
    return interimOnly || std::find(std::begin(transient), std::end(transient), statusCode) != std::end(transient);
}

qint64 parseRetryAfterMs(const QByteArray& retryAfter, const QDateTime& now)
{
    const QString text = QString::fromLatin1(retryAfter).trimmed();
    if (!text.isEmpty() && std::all_of(text.begin(), text.end(), [](QChar c) { return c.isDigit(); }))
        return text.size() > 9 ? std::numeric_limits<qint64>::max() / 2 : text.toLongLong() * 1000;
    QDateTime date = QLocale::c().toDateTime(text, QStringLiteral("ddd, dd MMM yyyy hh:mm:ss 'GMT'"));
    if (!date.isValid())
        return -1;
    date.setTimeSpec(Qt::UTC);
    return std::max<qint64>(0, now.msecsTo(date));
}

qint64 delayMs(int retryNumber, int statusCode, const QByteArray& retryAfter, const QDateTime& now, double jitter)
{
    if (statusCode == HttpStatus::TooManyRequests || statusCode == HttpStatus::ServiceUnavailable) {
        const qint64 asked = parseRetryAfterMs(retryAfter, now);
        if (asked >= 0)
            return std::min<qint64>(asked, 300000);
    }
    const qint64 base = std::min<qint64>(60000, 1000LL << std::min(retryNumber - 1, 6));
    return std::min<qint64>(60000, base + qint64(double(base) * 0.25 * jitter));
}

}
