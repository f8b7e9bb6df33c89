#include "support/Interruption.h"

#include <QEventLoop>
#include <QSocketNotifier>

#include "support/exitcodes.h"

#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

volatile std::sig_atomic_t receivedSignal = 0;
volatile std::sig_atomic_t signalCount = 0;
int wakeFds[2] = {-1, -1};
Interruption* installed = nullptr;
struct sigaction previousInt;
struct sigaction previousTerm;

extern "C" void onSignal(int signal)
{
    if (receivedSignal == 0)
        receivedSignal = signal;
    signalCount = signalCount + 1;
    const char byte = 1;
    // Nothing to do when the pipe is full: a byte is already waiting.
    const ssize_t ignored = ::write(wakeFds[1], &byte, 1);
    (void)ignored;
}

}

Interruption::Interruption()
{
    // A run hears only the signals that come while it is under way.
    receivedSignal = 0;
    signalCount = 0;
    if (::pipe2(wakeFds, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    notifier = new QSocketNotifier(wakeFds[0], QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, [this] {
        char buffer[16];
        while (::read(wakeFds[0], buffer, sizeof buffer) > 0) {
        }
        emit requested();
    });
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, &previousInt);
    sigaction(SIGTERM, &action, &previousTerm);
    installed = this;
}

Interruption::~Interruption()
{
    if (installed != this)
        return;
    sigaction(SIGINT, &previousInt, nullptr);
    sigaction(SIGTERM, &previousTerm, nullptr);
    installed = nullptr;
    delete notifier;
    ::close(wakeFds[0]);
    ::close(wakeFds[1]);
    wakeFds[0] = wakeFds[1] = -1;
}

int Interruption::exitCode(int signal)
{
    return ExitCode::SignalBase + signal;
}

Interruption* Interruption::current()
{
    return installed;
}

int Interruption::received()
{
    return receivedSignal;
}

void Interruption::endsLoop(QEventLoop& loop)
{
    if (installed)
        QObject::connect(installed, &Interruption::requested, &loop, &QEventLoop::quit);
}

int Interruption::count()
{
    return signalCount;
}

QString Interruption::message(int signal)
{
    const char* name = signal == SIGINT ? "SIGINT" : signal == SIGTERM ? "SIGTERM" : "a signal";
    return QStringLiteral("Interrupted by ") + QLatin1String(name);
}
