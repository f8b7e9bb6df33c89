#ifndef POST_H
#define POST_H

#include <QDeadlineTimer>
#include <QList>
#include <QString>
#include <QUrl>

#include "parse/RequestHeaders.h"
#include "post/Exchange.h"
#include "post/PostResult.h"
#include "post/ProxyChoice.h"
#include "post/ReplyClassifier.h"
#include "post/RoutedExchange.h"
#include "support/Outcome.h"

class Probes;

// One form posted over an exchange, and its redirects followed with this
// program's own rules: where --header and the Kerberos token go, the probe that a
// forwarding proxy needs first, the tunnel a proxy refuses and the request
// forwarded instead, and what each reply comes to. Prints "Upload to" and
// "Redirect to"; asks the network only through the exchange and the probes.
class Post {
public:
    struct Settings {
        QList<RequestHeaders::Header> headers;  // --header: for the URL's own origin only
        int idleTimeout = 0;
        int maxTime = 0;
    };

    Post(Exchange& exchange, ProxyChoice& proxies, Settings settings);

    // Blocks until the post and its redirects are over, the deadline has passed or a signal
    // came. eventHeaders go with every request, whatever its origin.
    PostResult post(const QUrl& url, const QList<RequestHeaders::Header>& eventHeaders, QDeadlineTimer deadline,
                    Probes& probes);

    // Begins the connection that a post to url will take, and returns at once: the
    // time a connection takes is spent while the archive is written. Nothing is sent
    // and nothing reported; a failure is the post's own, when it makes it again.
    void prepare(const QUrl& url);

    static constexpr int maxRedirects = ReplyClassifier::maxRedirects;

    // Resolves a redirect target against the URL that was posted to. These rules, not RFC
    // 3986's, decide: the upload never leaves the request's server unless the target
    // names an http(s) URL of its own.
    static QString redirectUrl(const QUrl& requestUrl, const QUrl& redirectTarget);

private:
    ReplyClassifier::Context context(int redirects) const { return {settings.idleTimeout, settings.maxTime, redirects}; }

    Exchange& network;
    ProxyChoice& proxies;
    Settings settings;
    RoutedExchange routed;
};

#endif
