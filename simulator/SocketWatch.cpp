#include "SocketWatch.h"

#include <QEvent>

#include <utility>

namespace pnv::sim {

SocketWatch::SocketWatch(int fd, Type type, std::function<void()> onReady, QObject *parent)
    : QSocketNotifier(fd, type, parent), m_onReady(std::move(onReady))
{
}

bool SocketWatch::event(QEvent *event)
{
    if (event->type() == QEvent::SockAct || event->type() == QEvent::SockClose) {
        m_onReady();
        return true;
    }
    return QSocketNotifier::event(event);
}

} // namespace pnv::sim
