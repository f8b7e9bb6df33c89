#ifndef PROGRESSMODE_H
#define PROGRESSMODE_H

#include <QString>

// When the progress line shows (--progress); Auto: when standard error is a terminal.
enum class ProgressMode { Auto, Always, Never };

// "auto", "always" or "never" as the command line gives it; false for anything else.
inline bool parseProgressMode(const QString& text, ProgressMode& mode)
{
    if (text == QLatin1String("auto"))
        mode = ProgressMode::Auto;
    else if (text == QLatin1String("always"))
        mode = ProgressMode::Always;
    else if (text == QLatin1String("never"))
        mode = ProgressMode::Never;
    else
        return false;
    return true;
}

#endif
