#ifndef INTERRUPTION_H
#define INTERRUPTION_H

#include <QObject>

class QEventLoop;
class QSocketNotifier;

// SIGINT and SIGTERM, turned from an asynchronous signal into a Qt signal:
// the handler only records the signal and writes a byte to a pipe, and the
// event loop that is waiting for an exchange or a child hears of it.
class Interruption : public QObject {
    Q_OBJECT

public:
    // Installs the handlers; the previous ones are restored when it is destroyed.
    Interruption();
    ~Interruption() override;
    Interruption(const Interruption&) = delete;
    Interruption& operator=(const Interruption&) = delete;

    // The installed instance, or null outside a run.
    static Interruption* current();
    // The signal received so far, or 0.
    static int received();
    // A signal to stop, from now on, quits loop (when handlers are installed).
    static void endsLoop(QEventLoop& loop);
    // How many signals to stop have come so far: a step that goes on after
    // the first one (keeping the event) still ends at the next.
    static int count();
    // "Interrupted by SIGTERM": the one text for a run that a signal ended.
    static QString message(int signal);
    // 128 and the signal, as a shell reports a process the signal ended.
    static int exitCode(int signal);

signals:
    void requested();

private:
    QSocketNotifier* notifier = nullptr;
};

#endif
