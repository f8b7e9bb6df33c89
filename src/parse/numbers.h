#ifndef NUMBERS_H
#define NUMBERS_H

#include <QSet>
#include <QString>

// A whole number in [low, high], written with digits only: no sign, no blank.
bool parseBounded(const QString& text, int low, int high, int& value);
// A byte count in [low, high]: digits, then K, M or G (powers of 1024) if wanted.
bool parseSize(const QString& text, qint64 low, qint64 high, qint64& value);

// A list of HTTP statuses from low to high, separated by commas, where "2xx"
// (for low 200 and high 299) stands for them all; false for anything else.
bool parseStatusList(const QString& text, int low, int high, QSet<int>& statuses);

#endif
