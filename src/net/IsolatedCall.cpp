#include "net/IsolatedCall.h"

#include <QEventLoop>
#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <csignal>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support/Interruption.h"

namespace IsolatedCall {

namespace {

// In the child: the answer, one byte for ok and then the output, and out. No
// destructor of the parent's runs here, nor an exit handler.
[[noreturn]] void answer(int fd, const std::function<bool(QByteArray&)>& work)
{
    // A person's Ctrl-C reaches the whole group: the child simply ends. A crash is the
    // kernel's to report, by the signal: no handler of the parent's (a sanitizer's) runs.
    for (const int signal : {SIGINT, SIGTERM, SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT})
        std::signal(signal, SIG_DFL);
    // Nothing of the library's reaches the person's terminal.
    const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null >= 0)
        ::dup2(null, STDERR_FILENO);
    QByteArray output;
    const bool ok = work(output);
    const QByteArray message = (ok ? "1" : "0") + output.left(maxOutput);
    const char* data = message.constData();
    qint64 left = message.size();
    while (left > 0) {
        const ssize_t written = ::write(fd, data, size_t(left));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            break;
        data += written;
        left -= written;
    }
    ::_exit(0);
}

// Reads what is there; false once the child has closed its end (or the pipe failed).
bool drain(int fd, QByteArray& message)
{
    char buffer[4096];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got > 0) {
            if (message.size() <= maxOutput)
                message.append(buffer, int(got));
            continue;
        }
        return got < 0 && (errno == EAGAIN || errno == EINTR);
    }
}

}

Result run(const std::function<bool(QByteArray& output)>& work, QDeadlineTimer deadline, int boundMs)
{
    Result result;
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        return result;
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(fds[0]);
        answer(fds[1], work);
    }
    ::close(fds[1]);
    if (child < 0) {
        ::close(fds[0]);
        return result;
    }
    ::fcntl(fds[0], F_SETFL, O_NONBLOCK);

    QByteArray message;
    bool open = true;
    QEventLoop loop;
    QSocketNotifier readable(fds[0], QSocketNotifier::Read);
    QObject::connect(&readable, &QSocketNotifier::activated, &loop, [&] {
        open = drain(fds[0], message);
        if (!open)
            loop.quit();
    });
    QTimer bound;
    bound.setSingleShot(true);
    const bool deadlineFirst = !deadline.isForever() && deadline.remainingTime() < boundMs;
    const qint64 waitMs = deadlineFirst ? deadline.remainingTime() : boundMs;
    bound.setTimerType(Qt::PreciseTimer);
    QObject::connect(&bound, &QTimer::timeout, &loop, &QEventLoop::quit);
    bound.start(int(std::max<qint64>(waitMs, 0)));
    Interruption::endsLoop(loop);
    if (!Interruption::received())
        loop.exec();
    readable.setEnabled(false);
    if (open)
        open = drain(fds[0], message);
    ::close(fds[0]);

    if (open)  // not answered yet: it is not waited for any longer
        ::kill(child, SIGKILL);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (!open) {
        if (WIFSIGNALED(status)) {
            result.end = End::Crashed;
            result.signal = WTERMSIG(status);
        } else {
            // What it answered; a child that ended without a word refused.
            result.end = End::Returned;
            result.ok = message.startsWith('1');
            result.output = message.isEmpty() ? QByteArray("no answer") : message.mid(1);
        }
    } else if (Interruption::received()) {
        result.end = End::Interrupted;
    } else {
        result.end = deadlineFirst ? End::Deadline : End::TooLong;
    }
    return result;
}

}
