#include "ProgressLine.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <unistd.h>

namespace {

const qint64 redrawMs = 200;

QString mebibytes(qint64 bytes)
{
    return QString::number(double(bytes) / (1 << 20), 'f', 1);
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

bool ProgressLine::parseMode(const QString& text, Mode& mode)
{
    if (text == QLatin1String("auto"))
        mode = Mode::Auto;
    else if (text == QLatin1String("always"))
        mode = Mode::Always;
    else if (text == QLatin1String("never"))
        mode = Mode::Never;
    else
        return false;
    return true;
}

void ProgressLine::archiving(qint64 archiveBytes, qint64 elapsedMs)
{
    if (on)
        show(QStringLiteral("Archiving: %1 MiB written, %2 s").arg(mebibytes(archiveBytes)).arg(elapsedMs / 1000), false);
}

void ProgressLine::uploading(qint64 sent, qint64 total)
{
    if (!on || total <= 0)
        return;
    if (sent < lastSent || lastSent < 0)
        sinceUploadStart.start();
    lastSent = sent;
    const double seconds = double(std::max<qint64>(sinceUploadStart.elapsed(), 1)) / 1000.0;
    const double rate = double(sent) / seconds;
    QString text = QStringLiteral("Uploading: %1 of %2 MiB (%3%), %4 MiB/s")
                       .arg(mebibytes(sent), mebibytes(total))
                       .arg(sent * 100 / total)
                       .arg(rate / (1 << 20), 0, 'f', 1);
    if (rate > 0 && sent < total)
        text += QStringLiteral(", %1 s left").arg(std::llround(double(total - sent) / rate));
    show(text, sent == total);
}

void ProgressLine::clear()
{
    if (!shown)
        return;
    std::fputs("\r\033[K", stderr);
    std::fflush(stderr);
    shown = false;
    lastSent = -1;
}

void ProgressLine::show(const QString& text, bool force)
{
    // A few redraws a second are enough for a person and cheap for a terminal.
    if (shown && !force && sinceDrawn.isValid() && !sinceDrawn.hasExpired(redrawMs))
        return;
    std::fprintf(stderr, "\r%s\033[K", text.toLatin1().constData());
    std::fflush(stderr);
    sinceDrawn.start();
    shown = true;
}
