#ifndef USAGE_H
#define USAGE_H

#include <QString>

// What the command line's reader prints when it refuses one: each message,
// then the usage text, on standard output.
namespace Usage {

// The usage text, as it always was.
const char* text();
// The message and the usage text; message ends in its blank line.
bool failWith(const char* message);
// `"VALUE" is not WHAT!`
bool reject(const char* rawValue, const char* what);
// `Bad value for OPTION: "VALUE" (EXPECTED)`
bool badValue(const char* option, const char* rawValue, const char* expected);
// The same, for a value that may hold a secret: shown is what may be printed of it.
bool badValueShown(const char* option, const QString& shown);

}

#endif
