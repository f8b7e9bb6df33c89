#include "archive/ProcessGroup.h"

#include <csignal>

#include <sys/stat.h>
#include <unistd.h>

void GroupedProcess::setupChildProcess()
{
    ::setpgid(0, 0);
    // A crash dump holds a process's memory: what the archiver writes is its user's alone
    // (the archive 0600, a work folder it makes 0700), whatever the umask allowed.
    ::umask(::umask(0) | 077);
}

void GroupedProcess::killGroup(int waitMs)
{
    const qint64 pid = processId();
    if (pid > 0)
        ::kill(-pid_t(pid), SIGKILL);
    kill();
    waitForFinished(waitMs);
}
