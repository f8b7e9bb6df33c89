#ifndef KEEPING_H
#define KEEPING_H

#include <QList>
#include <QString>
#include <QUrl>

#include <optional>

#include "form/FormPart.h"
#include "queue/QueueLimits.h"
#include "support/Outcome.h"

// Keeping one event that could not be delivered yet, for a later --resend.
namespace Keeping {

// What the run knows of the event it keeps.
struct Event {
    QString eventId;
    QUrl url;
    QList<FormPart> form;
    int attempts = 0;
    Outcome last;  // how the last attempt ended
    bool hashParts = false;
};

// Keeps event in the queue at dir (made when missing), dropping the oldest
// entries that it needs room for, and says so on the console. queuedAt gets
// the entry's path when it is kept. The signal that stopped the upload does
// not stop the keeping; the next one does: then its outcome is given.
std::optional<Outcome> keep(const QString& dir, const QueueLimits& limits, const Event& event, QString& queuedAt);

}

#endif
