#pragma once
// Tells its owner that a socket is ready, by a direct call. A QSocketNotifier
// emits two signals per activation, and dispatching them cost more than any
// other part of answering a request but the checksum; here the event loop's
// activation event calls the handler, nothing else.

#include <QSocketNotifier>

#include <functional>

namespace pnv::sim {

class SocketWatch final : public QSocketNotifier {
public:
    SocketWatch(int fd, Type type, std::function<void()> onReady, QObject *parent = nullptr);

protected:
    bool event(QEvent *event) override;

private:
    std::function<void()> m_onReady;
};

} // namespace pnv::sim
