#ifndef HEADERBOUND_H
#define HEADERBOUND_H

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QPair>

#include <functional>

#include "post/ReplyFacts.h"

class QNetworkReply;

// A bound on a reply's header lines, held before Qt takes them in. Qt merges
// each header line into the reply with a search over the lines before it, in
// the main thread and in one go: 100,000 small lines (1 MiB) hold the thread
// for a minute, and no deadline or signal is heard meanwhile. So the lines are
// counted when their list reaches the main thread, before Qt reads it; past the
// bound the list is never handed to the reply, and tooLarge is called instead.
class HeaderBound : public QObject {
    Q_OBJECT

public:
    using Headers = QList<QPair<QByteArray, QByteArray>>;

    // Watches reply's incoming headers while it lives.
    HeaderBound(QNetworkReply& reply, std::function<void()> tooLarge);
    ~HeaderBound() override;
    HeaderBound(const HeaderBound&) = delete;
    HeaderBound& operator=(const HeaderBound&) = delete;

    // Whether the bound is kept on this reply: Qt's slot that takes the headers in was found.
    bool isInForce() const { return metaDataSlot >= 0; }

    // Whether the header lines are within both of ReplyBounds' (a line counts its
    // name, its value and four bytes of framing).
    static bool withinBounds(const Headers& headers);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QNetworkReply& reply;
    std::function<void()> tooLarge;
    int metaDataSlot = -1;  // the reply's method that takes the headers in; -1 when unknown
};

#endif
