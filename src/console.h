#ifndef CONSOLE_H
#define CONSOLE_H

#include <QString>
#include <string>

// Program text holds one character per input byte (Latin-1), so it must leave
// the same way: QString::toStdString would re-encode it as UTF-8.
inline std::string toConsole(const QString& text)
{
    return text.toLatin1().toStdString();
}

#endif
