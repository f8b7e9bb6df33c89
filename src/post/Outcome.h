#ifndef OUTCOME_H
#define OUTCOME_H

#include <QString>

// How an attempt to deliver an event ended, for every step after the post:
// the code the run exits with, the text shown for it, and what kind of end it
// was. Made only through the named constructors, so that each kind has its
// one code and one text.
struct Outcome {
    enum class Kind {
        Answer,       // the server (or the proxy) answered with a status it uses
        Transport,    // a transport code below 100: no usable answer
        Local,        // something on this machine failed
        Interrupted,  // SIGINT or SIGTERM
        Deadline,     // --max-time passed
    };

    int code = 0;
    QString text;
    Kind kind = Kind::Transport;

    static Outcome answer(int status, const QString& text);
    static Outcome transport(int code, const QString& text);
    static Outcome local(const QString& text);
    static Outcome interrupted(int signal);
    static Outcome deadline(int seconds);
    static Outcome idle(int seconds);
    // A reply past ReplyWatch::replyLimit, cut off: its status when it has a usable one, or a transport code.
    static Outcome tooLarge(int code);
    // A reply whose header lines passed HeaderBound's bounds: no usable answer.
    static Outcome headersTooLarge();

    bool isDelivered() const;
    // Ended by a signal or by the deadline: nothing more may be tried.
    bool isStopped() const { return kind == Kind::Interrupted || kind == Kind::Deadline; }
};

#endif
