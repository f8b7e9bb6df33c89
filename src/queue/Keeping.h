#ifndef KEEPING_H
#define KEEPING_H

#include <QList>
#include <QString>
#include <QUrl>

#include <atomic>
#include <future>
#include <memory>
#include <optional>

#include "form/FormPart.h"
#include "queue/EventQueue.h"
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
    std::optional<ResumableUpload> upload;  // where its resumable upload stands
};

// The queue's entries and their bytes, counted on a thread of its own while the run makes and
// posts its event (a CPU that 7z leaves idle), so that keeping it does not count a big queue
// again. Nothing is made or changed; a folder that cannot be used gives nothing.
class Survey {
public:
    explicit Survey(const QString& dir);
    // A run that keeps nothing does not wait for the count: it ends at the entry under way.
    ~Survey();
    Survey(const Survey&) = delete;
    Survey& operator=(const Survey&) = delete;

    // Waits for the count when it is still under way.
    QueueSizes result();

private:
    std::shared_ptr<std::atomic<bool>> unwanted = std::make_shared<std::atomic<bool>>(false);
    std::future<QueueSizes> sizes;
};

// Keeps event in the queue at dir (made when missing), dropping the oldest
// entries that it needs room for, and says so on the console. queuedAt gets
// the entry's path when it is kept. The signal that stopped the upload does
// not stop the keeping; the next one does: then its outcome is given.
std::optional<Outcome> keep(const QString& dir, const QueueLimits& limits, const Event& event, QString& queuedAt,
                            Survey* survey = nullptr);

}

#endif
