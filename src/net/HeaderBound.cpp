#include "net/HeaderBound.h"

#include <QEvent>
#include <QMetaMethod>
#include <QNetworkReply>

// The queued call that carries the headers to the reply is read through Qt's
// own private declaration of it, the one place where the list can be seen
// before the reply takes it in. Decided when building: the layout is that of
// the Qt 5.15 built against, and the package depends on that Qt's private ABI
// (qtbase-abi-5-15-N), so the Qt at run time is that one.
#include <QtCore/private/qobject_p.h>

static_assert(QT_VERSION_MAJOR == 5 && QT_VERSION_MINOR == 15, "the bound reads Qt 5.15's queued call");

namespace {
const char* const meta_data_slot = "replyDownloadMetaData";
}

HeaderBound::HeaderBound(QNetworkReply& reply, std::function<void()> tooLarge)
    : reply(reply)
    , tooLarge(std::move(tooLarge))
{
    const QMetaObject* meta = reply.metaObject();
    for (int i = meta->methodOffset(); i < meta->methodCount(); ++i) {
        const QMetaMethod method = meta->method(i);
        if (method.name() == meta_data_slot && method.parameterType(0) == qMetaTypeId<Headers>()) {
            metaDataSlot = i;
            break;
        }
    }
    if (metaDataSlot >= 0)
        reply.installEventFilter(this);
}

HeaderBound::~HeaderBound()
{
    reply.removeEventFilter(this);
}

bool HeaderBound::withinBounds(const Headers& headers)
{
    if (headers.size() > ReplyBounds::headerLines)
        return false;
    qint64 bytes = 0;
    for (const auto& header : headers)
        bytes += header.first.size() + header.second.size() + 4;
    return bytes <= ReplyBounds::headerBytes;
}

bool HeaderBound::eventFilter(QObject* watched, QEvent* event)
{
    if (watched != &reply || event->type() != QEvent::MetaCall)
        return false;
    auto* call = static_cast<QMetaCallEvent*>(event);
    if (call->id() != metaDataSlot || !call->args() || !call->args()[1])
        return false;
    const auto* headers = static_cast<const Headers*>(call->args()[1]);
    if (withinBounds(*headers))
        return false;
    tooLarge();
    return true;  // never delivered: the reply ends without them
}
