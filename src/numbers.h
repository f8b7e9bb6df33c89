#ifndef NUMBERS_H
#define NUMBERS_H

#include <QString>

// A whole number in [low, high], written with digits only: no sign, no blank.
bool parseBounded(const QString& text, int low, int high, int& value);

#endif
