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

// Text that a peer or a file supplied: its control characters (tab aside)
// leave as \xHH, so that none of them can drive the terminal: C0 and DEL,
// and C1 (0x80-0x9F) whether raw or written in UTF-8 (0xC2 0x80-0x9F). Other
// UTF-8 sequences pass whole, so that their continuation bytes stay theirs.
std::string toConsoleEscaped(const QString& text);

#endif
