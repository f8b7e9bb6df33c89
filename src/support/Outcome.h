#ifndef OUTCOME_H
#define OUTCOME_H

#include <QString>

// How a step of a run ended, from the archive to the report: the code the run
// exits with, the text shown for it, and what kind of end it was. Made only
// through the named constructors, so that each kind has its one code and one
// text. A step that went well gives none (std::nullopt), or done().
struct Outcome {
    enum class Kind {
        Done,         // the run did what it was asked: exit 0
        Answer,       // the server (or the proxy) answered with a status it uses
        Transport,    // a transport code below 100: no usable answer
        Local,        // something on this machine failed
        Interrupted,  // SIGINT or SIGTERM
        Deadline,     // --max-time passed
    };

    int code = 0;
    QString text;
    Kind kind = Kind::Transport;

    static Outcome done();
    static Outcome answer(int status, const QString& text);
    static Outcome transport(int code, const QString& text);
    static Outcome local(const QString& text);
    static Outcome interrupted(int signal);
    static Outcome deadline(int seconds);
    static Outcome idle(int seconds);
    // An answer when code is an HTTP status (every one is 100 or more), else a transport code.
    static Outcome answerOrTransport(int code, const QString& text);

    bool isDelivered() const;
    // Ended by a signal or by the deadline: nothing more may be tried.
    bool isStopped() const { return kind == Kind::Interrupted || kind == Kind::Deadline; }
};

#endif
