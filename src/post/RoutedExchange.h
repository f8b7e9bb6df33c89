#ifndef ROUTEDEXCHANGE_H
#define ROUTEDEXCHANGE_H

#include "post/Exchange.h"
#include "post/ProxyChoice.h"
#include "post/ReplyClassifier.h"

class Probes;

// One request of the run by its proxy rules, and what its reply comes to: the proxy for its
// URL, the probe that a forwarding proxy needs before a form, the Kerberos token, the bounds
// on a proxy's connection, and the tunnel a proxy refuses, after which the request is
// forwarded instead. The post sends each of its requests through it, and so does a
// resumable upload.
class RoutedExchange {
public:
    RoutedExchange(Exchange& network, ProxyChoice& proxyChoice, int maxSeconds);

    struct Sent {
        // The last reply: the request's, or the probe's when that one ended it; none when
        // nothing was exchanged (no Kerberos token, a signal first).
        ExchangeReply reply;
        ReplyClassifier::Verdict verdict;
        ProxyUse proxy;  // the route it took
        bool answered = false;  // verdict is the request's own reply's
    };

    // request.proxy is chosen here, from request.url.
    Sent send(ExchangeRequest request, const ReplyClassifier::Context& context, Probes& probes);

private:
    Sent sendOnce(ExchangeRequest request, const ReplyClassifier::Context& context, Probes& probes);
    ExchangeReply exchangeOn(ExchangeRequest request, const Route& route, Probes& probes);

    Exchange& exchange;
    ProxyChoice& proxies;
    int maxTime;
};

#endif
