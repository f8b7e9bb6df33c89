#ifndef NETWORKPROBES_H
#define NETWORKPROBES_H

#include <QDeadlineTimer>

#include "post/Probes.h"

// The real probes: a socket of their own, waited for in a local event loop
// that the run's deadline and SIGINT or SIGTERM end as they end the post.
class NetworkProbes : public Probes {
public:
    NetworkProbes(QDeadlineTimer deadline, int maxTimeSeconds);

    Knock knock(const QString& host, quint16 port, const Ask& ask) override;
    int lookUpMs(const QString& host) override;

private:
    QDeadlineTimer deadline;
    int maxTimeSeconds;
};

#endif
