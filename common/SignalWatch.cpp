#include "SignalWatch.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace pnv {
namespace {

int g_pipe[2] = {-1, -1};   // the only thing the handler touches

extern "C" void onWatchedSignal(int signalNumber)
{
    const int saved = errno;
    const unsigned char byte = static_cast<unsigned char>(signalNumber);
    (void)!::write(g_pipe[1], &byte, 1);
    errno = saved;
}

} // namespace

SignalWatch::SignalWatch(QObject *parent) : QObject(parent) {}

SignalWatch::~SignalWatch()
{
    if (!m_notifier)
        return;
    for (const auto &[signalNumber, previous] : m_previous)
        ::sigaction(signalNumber, &previous, nullptr);
    m_notifier.reset();
    for (int &fd : g_pipe) {
        ::close(fd);
        fd = -1;
    }
}

bool SignalWatch::install(const QList<int> &signalNumbers)
{
    if (g_pipe[0] >= 0 || ::pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return false;
    m_notifier = std::make_unique<QSocketNotifier>(g_pipe[0], QSocketNotifier::Read);
    connect(m_notifier.get(), &QSocketNotifier::activated, this, [this] {
        unsigned char byte = 0;
        while (::read(g_pipe[0], &byte, 1) == 1) {
            if (m_signal == 0)
                m_signal = byte;
            emit signalled(byte);
        }
    });
    struct sigaction action {};
    action.sa_handler = onWatchedSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signalNumber : signalNumbers) {
        struct sigaction previous {};
        if (::sigaction(signalNumber, nullptr, &previous) != 0)
            return false;
        if (previous.sa_handler == SIG_IGN)
            continue;
        if (::sigaction(signalNumber, &action, nullptr) != 0)
            return false;
        m_previous.append({signalNumber, previous});
    }
    return true;
}

} // namespace pnv
