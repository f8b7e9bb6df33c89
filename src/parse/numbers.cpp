#include "parse/numbers.h"

bool parseSize(const QString& text, qint64 low, qint64 high, qint64& value)
{
    QString digits = text;
    int shift = 0;
    const QString units = QStringLiteral("KMG");
    if (!digits.isEmpty() && units.contains(digits.back().toUpper())) {
        shift = 10 * (units.indexOf(digits.back().toUpper()) + 1);
        digits.chop(1);
    }
    int number = 0;
    if (!parseBounded(digits, 0, 999999999, number))
        return false;
    const qint64 bytes = qint64(number) << shift;
    if (bytes < low || bytes > high)
        return false;
    value = bytes;
    return true;
}

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

bool parseSuccessStatuses(const QString& text, QSet<int>& statuses)
{
    const int low = 200;
    const int high = 299;
    QSet<int> parsed;
    for (const QString& item : text.split(QLatin1Char(','))) {
        int status = 0;
        if (item == QLatin1String("2xx")) {
            for (int s = low; s <= high; ++s)
                parsed.insert(s);
        } else if (parseBounded(item, low, high, status)) {
            parsed.insert(status);
        } else {
            return false;
        }
    }
    statuses = parsed;
    return true;
}
