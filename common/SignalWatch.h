#pragma once
// Delivers SIGINT and SIGTERM through the event loop. The handler only writes
// the signal's number into a pipe, saving errno around the write so that the
// code it interrupted never sees it change; a notifier reads the pipe on the
// loop's thread, where anything may be done about it.

#include <QObject>

#include <memory>

class QSocketNotifier;

namespace pnv {

class SignalWatch final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(SignalWatch)

public:
    explicit SignalWatch(QObject *parent = nullptr);
    // Gives SIGINT and SIGTERM their default actions back.
    ~SignalWatch() override;

    // False when the pipe or the handlers could not be set up, or another
    // watch is installed: a process has one.
    bool install();
    bool caught() const { return m_caught; }

signals:
    void signalled(int signalNumber);

private:
    std::unique_ptr<QSocketNotifier> m_notifier;
    bool m_caught = false;
};

} // namespace pnv
