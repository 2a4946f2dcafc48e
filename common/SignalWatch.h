#pragma once
// Delivers SIGINT and SIGTERM (or the signals asked for) through the event loop. The handler only writes
// the signal's number into a pipe, saving errno around the write so that the
// code it interrupted never sees it change; a notifier reads the pipe on the
// loop's thread, where anything may be done about it.

#include <QList>
#include <QObject>
#include <QPair>

#include <csignal>

#include <memory>

class QSocketNotifier;

namespace pnv {

class SignalWatch final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(SignalWatch)

public:
    explicit SignalWatch(QObject *parent = nullptr);
    // Gives the signals the actions they had before install().
    ~SignalWatch() override;

    // False when the pipe or the handlers could not be set up, or another
    // watch is installed: a process has one. A signal that the process was
    // started with set to be ignored (as a shell does for `cmd &`) stays
    // ignored: whoever started it asked for that.
    bool install(const QList<int> &signalNumbers = {SIGINT, SIGTERM});
    bool caught() const { return m_signal != 0; }
    // The first signal caught, or 0.
    int caughtSignal() const { return m_signal; }

signals:
    void signalled(int signalNumber);

private:
    std::unique_ptr<QSocketNotifier> m_notifier;
    int m_signal = 0;
    QList<QPair<int, struct sigaction>> m_previous;
};

} // namespace pnv
