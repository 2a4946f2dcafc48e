// pnv3400ctl: reads, checks and writes PNV-3400 encoder configurations from
// the command line, one encoder or a whole plan of them, through the device
// library. Output and exit codes are made for scripts as much as for people.
// The commands are the rows of program(), their handlers in commands/.

#include "CommandTable.h"
#include "ParentWatch.h"
#include "StandardStreams.h"
#include "commands/Shared.h"

#include <QCoreApplication>

#include <csignal>

int main(int argc, char *argv[])
{
    pnv::ensureStandardDescriptors();
    // A closed pipe is a write error like any other (reported, the exit code
    // failing), never a signal that ends the process in the middle of a write.
    std::signal(SIGPIPE, SIG_IGN);
    pnv::ctl::endWithNamedParent();
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("pnv3400ctl"));
    QCoreApplication::setApplicationVersion(QStringLiteral(PNV_VERSION));
    const int exitCode = pnv::ctl::runCommandLine(pnv::ctl::program(), QCoreApplication::arguments());
    pnv::ctl::commands::releaseLibrary();
    return pnv::closeStandardStreams("pnv3400ctl", exitCode);
}
