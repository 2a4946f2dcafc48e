#include "ParentWatch.h"

#include <QByteArray>
#include <QtGlobal>

#include <csignal>
#include <sys/prctl.h>
#include <unistd.h>

namespace pnv::ctl {

void endWithNamedParent()
{
    const QByteArray text = qgetenv("PNV3400CTL_PARENT_PID");
    qunsetenv("PNV3400CTL_PARENT_PID");
    bool ok = false;
    const long parent = text.toLong(&ok);
    if (!ok || parent <= 1)
        return;
    // The kernel sends the signal when the parent ends; a parent gone before
    // the request took hold shows as another parent (a reaper or init).
    if (::prctl(PR_SET_PDEATHSIG, SIGTERM) != 0 || ::getppid() != static_cast<pid_t>(parent))
        ::raise(SIGTERM);
}

} // namespace pnv::ctl
