#include "tus/TusProgress.h"

#include <algorithm>
#include <cstring>

bool ResumableUpload::isBoundary(const QByteArray& boundary)
{
    static const char allowed[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz'()+_,-./:=? ";
    return !boundary.isEmpty() && boundary.size() <= 70 && !boundary.endsWith(' ')
        && std::all_of(boundary.begin(), boundary.end(), [](char c) { return c != '\0' && std::strchr(allowed, c); });
}
