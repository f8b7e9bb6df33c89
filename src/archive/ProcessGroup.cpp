#include "archive/ProcessGroup.h"

#include <csignal>
#include <unistd.h>

void GroupedProcess::setupChildProcess()
{
    ::setpgid(0, 0);
}

void GroupedProcess::killGroup(int waitMs)
{
    const qint64 pid = processId();
    if (pid > 0)
        ::kill(-pid_t(pid), SIGKILL);
    kill();
    waitForFinished(waitMs);
}
