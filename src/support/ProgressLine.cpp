#include "support/ProgressLine.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <sys/ioctl.h>
#include <unistd.h>

#include "support/console.h"

namespace {

const qint64 redraw_ms = 200;
const qint64 rate_after_ms = 1000;  // a rate from less than a second of data would be noise
const int default_columns = 80;

QString mebibytes(qint64 bytes)
{
    return QString::number(double(bytes) / (1 << 20), 'f', 1);
}

// Read at every redraw, so that a resized terminal is followed at once, as a SIGWINCH handler would.
int terminalColumns()
{
    winsize size{};
    if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
        return size.ws_col;
    return default_columns;
}

}

ProgressLine::ProgressLine(Mode mode)
    : on(mode == Mode::Always || (mode == Mode::Auto && ::isatty(STDERR_FILENO)))
{
}

ProgressLine::~ProgressLine()
{
    clear();
}

QString ProgressLine::fitted(const QString& text, const QString& shortText, int columns)
{
    // The last column stays free: a terminal that wraps at it would leave a stale row.
    const int width = std::max(columns - 1, 1);
    return text.size() <= width ? text : shortText.left(width);
}

void ProgressLine::archiving(qint64 readBytes, qint64 totalBytes, qint64 elapsedMs)
{
    if (!on)
        return;
    QString text = QStringLiteral("Archiving: %1 of %2 MiB read").arg(mebibytes(readBytes), mebibytes(totalBytes));
    QString shortText = QStringLiteral("7z %1/%2 MiB").arg(mebibytes(readBytes), mebibytes(totalBytes));
    if (totalBytes > 0) {
        const qint64 percent = std::min<qint64>(readBytes, totalBytes) * 100 / totalBytes;
        text += QStringLiteral(" (%1%)").arg(percent);
        shortText += QStringLiteral(" %1%").arg(percent);
    }
    const qint64 seconds = elapsedMs / 1000;
    show(text + QStringLiteral(", %1 s").arg(seconds), shortText + QStringLiteral(" %1 s").arg(seconds), false);
}

void ProgressLine::uploading(qint64 sent, qint64 total)
{
    if (!on || total <= 0)
        return;
    if (sent < lastSent || lastSent < 0) {
        sinceUploadStart.start();
        sinceAllSent.invalidate();
    }
    lastSent = sent;
    lastTotal = total;
    if (sent >= total) {
        if (!sinceAllSent.isValid())
            sinceAllSent.start();
        showWaiting(true);
        return;
    }
    const qint64 percent = sent * 100 / total;
    QString text = QStringLiteral("Uploading: %1 of %2 MiB (%3%)").arg(mebibytes(sent), mebibytes(total)).arg(percent);
    QString shortText = QStringLiteral("Up %1/%2 MiB %3%").arg(mebibytes(sent), mebibytes(total)).arg(percent);
    const qint64 elapsedMs = sinceUploadStart.elapsed();
    if (elapsedMs >= rate_after_ms && sent > 0) {
        const double rate = double(sent) * 1000.0 / double(elapsedMs);
        const QString speed = QString::number(rate / (1 << 20), 'f', 1);
        const qint64 left = std::llround(double(total - sent) / rate);
        text += QStringLiteral(", %1 MiB/s, %2 s left").arg(speed).arg(left);
        shortText += QStringLiteral(" %1 MiB/s %2 s").arg(speed).arg(left);
    }
    show(text, shortText, false);
}

void ProgressLine::tick()
{
    if (on && sinceAllSent.isValid())
        showWaiting(false);
}

void ProgressLine::showWaiting(bool force)
{
    const QString sent = mebibytes(lastTotal);
    const qint64 seconds = sinceAllSent.elapsed() / 1000;
    show(QStringLiteral("Uploaded %1 MiB, waiting for the server: %2 s").arg(sent).arg(seconds),
         QStringLiteral("Sent %1 MiB, waiting %2 s").arg(sent).arg(seconds), force);
}

void ProgressLine::clear()
{
    if (!shown)
        return;
    std::fputs("\r\033[K", stderr);
    std::fflush(stderr);
    shown = false;
    lastSent = -1;
    sinceAllSent.invalidate();
}

void ProgressLine::summary(const QString& text)
{
    if (!on)
        return;
    clear();
    // It names the URL, which a redirect may have chosen.
    std::fprintf(stderr, "%s\n", toConsoleEscaped(text).c_str());
    std::fflush(stderr);
}

void ProgressLine::show(const QString& text, const QString& shortText, bool force)
{
    // A few redraws a second are enough for a person and cheap for a terminal.
    if (shown && !force && sinceDrawn.isValid() && !sinceDrawn.hasExpired(redraw_ms))
        return;
    std::fprintf(stderr, "\r%s\033[K", toConsoleEscaped(fitted(text, shortText, terminalColumns())).c_str());
    std::fflush(stderr);
    sinceDrawn.start();
    shown = true;
}
