#include "post/ReplyClassifier.h"

#include "post/PeerCheck.h"
#include "post/ProxyCheck.h"
#include "support/exitcodes.h"

namespace ReplyClassifier {

namespace {

// The transport code of a reply without a usable status: its error's, or 6 when Qt gave none.
int errorCodeOf(const ReplyFacts& facts)
{
    return facts.errorCode != 0 ? facts.errorCode : ExitCode::Unmapped;
}

// A reply past ReplyBounds::replyLimit, cut off: its status when it has a usable one, or a transport code.
Outcome tooLarge(int code)
{
    return Outcome::answerOrTransport(code, QStringLiteral("Reply larger than %1 bytes: cut off").arg(ReplyBounds::replyLimit));
}

Outcome headersTooLarge()
{
    return Outcome::transport(ExitCode::ProtocolFailure, QStringLiteral("Reply headers longer than %1 lines or %2 bytes: cut off")
                                                             .arg(ReplyBounds::headerLines)
                                                             .arg(ReplyBounds::headerBytes));
}

// How the wait itself ended, when it was not with the reply.
std::optional<Outcome> waitEnd(const ReplyFacts& facts, const Route& route, const Context& context)
{
    switch (facts.end) {
    case WaitEnd::Idle: return Outcome::idle(context.idleSeconds);
    case WaitEnd::Deadline: return Outcome::deadline(context.maxTimeSeconds);
    case WaitEnd::Interrupted: return Outcome::interrupted(facts.signal);
    case WaitEnd::HeadersTooLarge: return headersTooLarge();
    case WaitEnd::ProxyAsksAgain:
        return ProxyCheck::authenticationRefused(route, facts.url,
                                                 QStringLiteral("Proxy requires authentication: ") + route.proxyEndpoint());
    case WaitEnd::PeerGone:
        if (!route.isDirect())
            return Outcome::transport(ExitCode::ProxyConnectionClosed, QStringLiteral("Proxy connection closed: ") + route.proxyEndpoint());
        return Outcome::transport(ExitCode::RemoteHostClosed, QStringLiteral("Connection closed"));
    case WaitEnd::TooLarge:
    case WaitEnd::Finished: return std::nullopt;
    }
    return std::nullopt;
}

// What the server or the proxy answered, or why there was no answer.
Outcome answered(const ReplyFacts& facts, const Route& route, Probes& probes)
{
    const int status = facts.httpStatus;
    // Qt takes an interim answer (103 Early Hints, an unasked 101) for the final one and never
    // reads what follows it: the outcome is unknown, so it is worth another attempt.
    if (status > 100 && status < 200)
        return Outcome::transport(ExitCode::ProtocolFailure,
                                  QStringLiteral("Only an interim answer (%1) was read: the final one was lost").arg(status));
    // The status line and headers were whole: the answer stands, without the rest of its body.
    if (facts.end == WaitEnd::TooLarge)
        return tooLarge(isRecognisedStatus(status) ? status : ExitCode::ProtocolFailure);
    QString text = facts.errorText;
    // Qt says only that the handshake failed: add why the certificate was refused.
    if (facts.errorCode == ExitCode::SslHandshakeFailed && !facts.tlsReasons.isEmpty()) {
        QStringList reasons = facts.tlsReasons;
        reasons.removeDuplicates();
        text += QLatin1String(": ") + reasons.join(QLatin1String("; "));
    }
    Outcome outcome = Outcome::answerOrTransport(isRecognisedStatus(status) ? status : errorCodeOf(facts), text);
    if (outcome.code == ExitCode::UnknownNetwork && route.isDirect()) {
        if (std::optional<Outcome> told = PeerCheck::explainUnknown(facts.url, facts.detail, text, probes))
            outcome = *told;
    }
    if (std::optional<Outcome> proxys = ProxyCheck::blameProxy(route, facts, outcome.code, outcome.text, probes))
        outcome = *proxys;
    return outcome;
}

}

Verdict classify(const ReplyFacts& facts, const Route& route, const Context& context, Probes& probes)
{
    Verdict verdict;
    verdict.httpStatus = facts.httpStatus;
    verdict.tunnelRefused = ProxyCheck::isTunnelRefused(route, facts, probes);
    if (verdict.tunnelRefused) {  // no outcome yet: the request goes again, forwarded
        verdict.outcome = Outcome::answerOrTransport(errorCodeOf(facts), facts.errorText);
        return verdict;
    }
    if (std::optional<Outcome> ended = waitEnd(facts, route, context)) {
        verdict.outcome = *ended;
        return verdict;
    }
    if (isFollowedRedirect(facts.httpStatus)) {
        if (context.redirects == maxRedirects) {
            verdict.outcome = Outcome::answer(facts.httpStatus, QStringLiteral("Too many redirects"));
            return verdict;
        }
        // A redirect that names no target is the answer: the form never goes where no one said.
        if (facts.redirectTarget.isEmpty() || !facts.redirectTarget.isValid()) {
            verdict.outcome = Outcome::answer(facts.httpStatus, QStringLiteral("Redirect without a usable Location"));
            return verdict;
        }
        verdict.outcome = Outcome::answer(facts.httpStatus, QString());
        verdict.redirect = true;
        verdict.redirectTarget = facts.redirectTarget;
        return verdict;
    }
    verdict.outcome = answered(facts, route, probes);
    // A tunnel's CONNECT meets the 407 that a forwarded request would: the same answer for an http:// URL.
    if (verdict.outcome.code == ExitCode::ProxyAuthenticationRequired && route.plainHttpThroughProxy(facts.url)) {
        verdict.outcome = Outcome::answer(HttpStatus::ProxyAuthenticationRequired, verdict.outcome.text);
        verdict.httpStatus = HttpStatus::ProxyAuthenticationRequired;
    }
    return verdict;
}

// The status codes of RFC 2616 section 6.1.1, less the redirects that are followed.
bool isRecognisedStatus(int status)
{
    return status == 100 || status == 101 || (status >= 200 && status <= 206) || status == 300
        || status == 303 || status == 304 || status == 305 || (status >= 400 && status <= 417)
        || (status >= 500 && status <= 505);
}

bool isFollowedRedirect(int status)
{
    return status == HttpStatus::MovedPermanently || status == HttpStatus::Found
        || status == HttpStatus::TemporaryRedirect || status == HttpStatus::PermanentRedirect;
}

}
