#ifndef NUMBERS_H
#define NUMBERS_H

#include <QSet>
#include <QString>

// A whole number in [low, high], written with digits only: no sign, no blank.
bool parseBounded(const QString& text, int low, int high, int& value);
// A byte count in [low, high]: digits, then K, M or G (powers of 1024) if wanted.
bool parseSize(const QString& text, qint64 low, qint64 high, qint64& value);

// A list of HTTP statuses from 200 to 299, separated by commas, where "2xx"
// stands for them all; false for anything else.
bool parseSuccessStatuses(const QString& text, QSet<int>& statuses);

#endif
