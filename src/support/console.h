#ifndef CONSOLE_H
#define CONSOLE_H

#include <QString>
#include <cstdio>
#include <string>

// Program text holds one character per input byte (Latin-1), so it must leave
// the same way: QString::toStdString would re-encode it as UTF-8.
inline std::string toConsole(const QString& text)
{
    return text.toLatin1().toStdString();
}

// Text that a peer or a file supplied: its control characters (tab aside)
// leave as \xHH, so that none of them can drive the terminal.
inline std::string toConsoleEscaped(const QString& text)
{
    std::string out;
    for (const char c : text.toLatin1()) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte < 0x20 && byte != '\t') || byte == 0x7f) {
            char escape[5];
            std::snprintf(escape, sizeof escape, "\\x%02x", byte);
            out += escape;
        } else {
            out += c;
        }
    }
    return out;
}

#endif
