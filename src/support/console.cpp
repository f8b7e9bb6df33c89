#include "support/console.h"

#include <cstdio>
#include <iostream>

namespace {

// The length of the valid UTF-8 sequence that starts at text[i] (2 to 4), or 0.
int utf8Length(const QByteArray& text, int i)
{
    const auto lead = uchar(text.at(i));
    const int length = lead >= 0xc2 && lead <= 0xdf ? 2 : lead >= 0xe0 && lead <= 0xef ? 3 : lead >= 0xf0 && lead <= 0xf4 ? 4 : 0;
    if (length == 0 || i + length > text.size())
        return 0;
    for (int k = 1; k < length; ++k) {
        if ((uchar(text.at(i + k)) & 0xc0) != 0x80)
            return 0;
    }
    return length;
}

void escape(std::string& out, uchar byte)
{
    char hex[5];
    std::snprintf(hex, sizeof hex, "\\x%02x", byte);
    out += hex;
}

}

std::string toConsoleEscaped(const QString& text)
{
    const QByteArray bytes = text.toLatin1();
    std::string out;
    out.reserve(size_t(bytes.size()));
    for (int i = 0; i < bytes.size();) {
        const auto byte = uchar(bytes.at(i));
        const int sequence = byte >= 0x80 ? utf8Length(bytes, i) : 0;
        // A C1 control is 0xc2 0x80-0x9f in UTF-8: both bytes are escaped.
        const bool c1InUtf8 = sequence == 2 && byte == 0xc2 && uchar(bytes.at(i + 1)) <= 0x9f;
        if (sequence > 0 && !c1InUtf8) {
            out.append(bytes.constData() + i, size_t(sequence));
            i += sequence;
            continue;
        }
        const int count = c1InUtf8 ? 2 : 1;
        for (int k = 0; k < count; ++k) {
            const auto b = uchar(bytes.at(i + k));
            if ((b < 0x20 && b != '\t') || b == 0x7f || (b >= 0x80 && b <= 0x9f) || c1InUtf8)
                escape(out, b);
            else
                out += char(b);
        }
        i += count;
    }
    return out;
}

namespace Console {

void out(const std::string& line)
{
    std::cout << line << std::endl;
}

void err(const std::string& line)
{
    std::cerr << line << std::endl;
}

void write(const std::string& text)
{
    std::cout << text << std::flush;
}

}
