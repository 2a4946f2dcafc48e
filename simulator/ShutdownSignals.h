#pragma once
// Turns SIGINT and SIGTERM into a normal end of the event loop, so that the
// simulator closes its sockets and never dies in the middle of saving.

#include <QObject>
#include <QSocketNotifier>
#include <memory>

namespace pnv::sim {

class ShutdownSignals final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ShutdownSignals)

public:
    explicit ShutdownSignals(QObject *parent = nullptr);
    ~ShutdownSignals() override;

    // False when the handlers could not be installed.
    bool install();

signals:
    void requested(int signalNumber);

private:
    std::unique_ptr<QSocketNotifier> m_notifier;
};

} // namespace pnv::sim
