#ifndef REPLYCLASSIFIER_H
#define REPLYCLASSIFIER_H

#include <QUrl>

#include "post/Probes.h"
#include "post/ReplyFacts.h"
#include "support/Outcome.h"

// What a reply comes to, from its plain facts: the outcome of the post, or a
// redirect to follow, or a tunnel the proxy refused. The status tables of the
// program live here; the network is asked only through probes.
namespace ReplyClassifier {

constexpr int maxRedirects = 20;

// What the classification needs besides the reply.
struct Context {
    int idleSeconds = 0;     // --idle-timeout, for its text
    int maxTimeSeconds = 0;  // --max-time, for its text
    int redirects = 0;       // redirects followed before this reply
};

struct Verdict {
    Outcome outcome;
    int httpStatus = 0;       // the status to record: the reply's, or 407 for a tunnel's
    bool redirect = false;    // follow redirectTarget with the same form
    QUrl redirectTarget = QUrl();
    bool tunnelRefused = false;  // forward the http:// request instead, on a fresh connection
};

Verdict classify(const ReplyFacts& facts, const Route& route, const Context& context, Probes& probes);

// An HTTP status that ends the upload as it is (and becomes the exit code).
bool isRecognisedStatus(int status);
// A redirect that is followed with a new POST of the same form.
bool isFollowedRedirect(int status);

}

#endif
