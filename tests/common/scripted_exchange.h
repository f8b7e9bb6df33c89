#ifndef SCRIPTED_EXCHANGE_H
#define SCRIPTED_EXCHANGE_H

#include <QIODevice>
#include <QList>
#include <QPair>

#include <deque>

#include "post/Exchange.h"
#include "post/Probes.h"
#include "post/ProxyChoice.h"

// Every URL through the one proxy given (none by default).
class OneProxy : public ProxyLookup {
public:
    ProxyUse proxy;
    ProxyUse proxyFor(const QUrl& /*url*/) override { return proxy; }
};

// The Kerberos token, as scripted.
class ScriptedTokens : public TokenSource {
public:
    Token token;
    Token proxyAuthorization(const QString& /*proxyHost*/, QDeadlineTimer /*deadline*/) override { return token; }
};

// One scripted reply: its status, its error, where it redirects, or a body that changed.
struct Reply {
    int status = 200;
    int errorCode = 0;
    QString location;
    QString localFailure;
    QList<QPair<QByteArray, QByteArray>> headers = {};
    qint64 bytesSent = 0;
    WaitEnd end = WaitEnd::Finished;
};

inline Reply redirect(int status, const char* location)
{
    return {status, 0, QLatin1String(location), QString()};
}

// The network as the post's logic sees it: the replies it is scripted with, in turn (the
// last one again), and every request it was asked to make.
class ScriptedExchange : public Exchange {
public:
    explicit ScriptedExchange(const QList<Reply>& script)
        : script(script.begin(), script.end())
    {
    }

    ExchangeReply exchange(const ExchangeRequest& request) override
    {
        requests.append(request);
        const Reply next = script.size() > 1 ? script.front() : script.back();
        if (script.size() > 1)
            script.pop_front();
        ExchangeReply reply;
        reply.facts.url = request.url;
        reply.facts.httpStatus = next.status;
        reply.facts.errorCode = next.errorCode;
        reply.facts.redirectTarget = QUrl(next.location);
        reply.localFailure = next.localFailure;
        reply.headers = next.headers;
        reply.facts.bytesSent = next.bytesSent;
        reply.facts.end = next.end;
        if (request.body && request.body->isOpen() && request.body->seek(0))  // what a piece holds, read as Qt would
            bodies.append(request.body->readAll());
        return reply;
    }
    void dropConnections() override { ++drops; }
    void prepare(const ExchangeRequest& request) override { prepared.append(request); }

    std::deque<Reply> script;
    QList<ExchangeRequest> requests;
    QList<ExchangeRequest> prepared;
    QList<QByteArray> bodies;
    int drops = 0;
};

// Probes whose peer is always there.
class ReachedProbes : public Probes {
public:
    Knock knock(const QString& /*host*/, quint16 /*port*/, const Ask& /*ask*/) override
    {
        return {Reach::Answered, QByteArray(), false, std::nullopt};
    }
    int lookUpMs(const QString& /*host*/) override { return 0; }
};

#endif
