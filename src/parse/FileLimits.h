#ifndef FILELIMITS_H
#define FILELIMITS_H

#include <QtGlobal>

// How large a file that the command line names may be. Each is far above
// any real one: a larger file is the wrong file, and reading it would only
// cost the memory of a machine that has just crashed.
namespace FileLimits {
constexpr qint64 credential = qint64(1) << 20;   // --header @FILE, --mtls-cert, --mtls-key, --mtls-pass
constexpr qint64 caBundle = qint64(16) << 20;    // --cacert
constexpr qint64 description = qint64(64) << 20; // --json
}

#endif
