#ifndef ISOLATEDCALL_H
#define ISOLATEDCALL_H

#include <QByteArray>
#include <QDeadlineTimer>

#include <functional>

// A library call that may crash or hang (GSSAPI on a truncated credentials
// cache, a KDC that never answers, a cache that is a FIFO), made in a child
// process of its own so that neither can take the run with it. The wait for
// it ends at the deadline, at the bound, or at SIGINT or SIGTERM, and the
// child is then killed; the event loop runs meanwhile.
namespace IsolatedCall {

enum class End {
    Returned,     // work returned: ok and output are what it gave
    Crashed,      // the child died of a signal: signal says which
    TooLong,      // boundMs passed first
    Deadline,     // the run's deadline passed first
    Interrupted,  // SIGINT or SIGTERM came first
};

struct Result {
    End end = End::Crashed;
    bool ok = false;
    QByteArray output;  // at most maxOutput bytes
    int signal = 0;
};

constexpr int maxOutput = 64 * 1024;

// Runs work in a child; what it returns (ok, and its output) comes back through a pipe.
Result run(const std::function<bool(QByteArray& output)>& work, QDeadlineTimer deadline, int boundMs);

}

#endif
