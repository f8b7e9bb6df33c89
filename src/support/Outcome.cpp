#include "support/Outcome.h"

#include "support/Interruption.h"
#include "support/exitcodes.h"

Outcome Outcome::done()
{
    return {ExitCode::Success, QString(), Kind::Done};
}

Outcome Outcome::answer(int status, const QString& text)
{
    return {status, text, Kind::Answer};
}

Outcome Outcome::transport(int code, const QString& text)
{
    return {code, text, Kind::Transport};
}

Outcome Outcome::local(const QString& text)
{
    return {ExitCode::LocalFailure, text, Kind::Local};
}

Outcome Outcome::interrupted(int signal)
{
    return {Interruption::exitCode(signal), Interruption::message(signal), Kind::Interrupted};
}

Outcome Outcome::deadline(int seconds)
{
    return {ExitCode::Timeout, QStringLiteral("Operation timed out after %1 s").arg(seconds), Kind::Deadline};
}

Outcome Outcome::idle(int seconds)
{
    return {ExitCode::Timeout, QStringLiteral("No data transferred for %1 s").arg(seconds), Kind::Transport};
}

Outcome Outcome::answerOrTransport(int code, const QString& text)
{
    return code >= 100 ? answer(code, text) : transport(code, text);
}

bool Outcome::isDelivered() const
{
    return code == HttpStatus::Ok;
}
