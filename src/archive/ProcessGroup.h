#ifndef PROCESSGROUP_H
#define PROCESSGROUP_H

#include <QProcess>

// A child started in a process group of its own, so that ending it ends
// whatever it started in turn: 7z may run helpers of its own. What it
// creates is private to its user.
class GroupedProcess : public QProcess {
    Q_OBJECT

public:
    using QProcess::QProcess;
    // SIGKILL to the whole group; then waits up to waitMs for the child.
    void killGroup(int waitMs);

protected:
    void setupChildProcess() override;
};

#endif
