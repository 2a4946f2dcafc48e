// pnv3400ctl: reads, checks and writes PNV-3400 encoder configurations from
// the command line, one encoder or a whole plan of them, through the device
// library. Output and exit codes are made for scripts as much as for people.
// The commands are the rows of program(), their handlers in commands/.

#include "CommandTable.h"
#include "StandardStreams.h"
#include "commands/Shared.h"

#include <QCoreApplication>

int main(int argc, char *argv[])
{
    pnv::ensureStandardDescriptors();
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("pnv3400ctl"));
    QCoreApplication::setApplicationVersion(QStringLiteral(PNV_VERSION));
    const int exitCode = pnv::ctl::runCommandLine(pnv::ctl::program(), QCoreApplication::arguments());
    pnv::ctl::commands::releaseLibrary();
    return pnv::closeStandardStreams("pnv3400ctl", exitCode);
}
