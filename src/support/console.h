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

// Every message of the program leaves through here: what a run did on standard
// output, what went wrong on standard error, each line ended and flushed at
// once, so that a reader of both sees them in the order they were made.
namespace Console {
void out(const std::string& line);
void err(const std::string& line);
// Text that ends its own lines (the usage and help texts), as it is.
void write(const std::string& text);
}

#endif
