#include "numbers.h"

bool parseBounded(const QString& text, int low, int high, int& value)
{
    if (text.isEmpty() || text.size() > 9)
        return false;
    for (const QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
    }
    const int number = text.toInt();
    if (number < low || number > high)
        return false;
    value = number;
    return true;
}
