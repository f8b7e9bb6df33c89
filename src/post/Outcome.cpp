#include "post/Outcome.h"

#include "post/ReplyWatch.h"
#include "support/Interruption.h"
#include "support/exitcodes.h"

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
    return {ExitCode::Timeout, ReplyWatch::deadlineMessage(seconds), Kind::Deadline};
}

Outcome Outcome::idle(int seconds)
{
    return {ExitCode::Timeout, ReplyWatch::idleMessage(seconds), Kind::Transport};
}

bool Outcome::isDelivered() const
{
    return code == HttpStatus::Ok;
}
