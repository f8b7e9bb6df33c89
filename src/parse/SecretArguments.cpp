#include "parse/SecretArguments.h"

#include <cstring>

#include "parse/ProxySetting.h"

namespace SecretArguments {

namespace {

void wipe(char* from, const char* to)
{
    for (; from < to; ++from)
        *from = '*';
}

}

void hidePassword(char* text)
{
    char* scheme = std::strstr(text, "://");
    char* authority = scheme ? scheme + 3 : text;
    // The credentials end at the last '@' before the path, as the URL and proxy readers take them.
    const char* end = authority + std::strcspn(authority, "/?#");
    char* at = nullptr;
    for (char* c = authority; c < end; ++c) {
        if (*c == '@')
            at = c;
    }
    if (!at)
        return;
    if (char* colon = static_cast<char*>(std::memchr(authority, ':', size_t(at - authority))))
        wipe(colon + 1, at);
}

void hideProxyPassword(char* text)
{
    int start = 0;
    int end = 0;
    if (ProxySetting::passwordSpan(QByteArray::fromRawData(text, int(std::strlen(text))), start, end))
        wipe(text + start, text + end);
}

void hideHeaderValue(char* text)
{
    if (text[0] == '@')
        return;
    if (char* colon = std::strchr(text, ':'))
        wipe(colon + 1, colon + 1 + std::strlen(colon + 1));
}

}
