// pnv3400ctl's table: the ordered list of its commands' rows, each built
// in its command's own file.

#include "CommandTable.h"

#include "Commission.h"
#include "commands/Commands.h"
#include "commands/Shared.h"

namespace pnv::ctl {
namespace {

Program makeProgram()
{
    using namespace commands;
    Program table;
    table.description = QStringLiteral(
        "Reads, checks and writes the network configuration of PNV-3400 encoders through the device library.");
    table.notes = kNewAddressNote + QStringLiteral(
        "\nRules: the mask contiguous with a prefix of 1 to 30; the ip a usable host address (not in 0.0.0.0/8,\n"
        "127.0.0.0/8, 224.0.0.0/4, 240.0.0.0/4, nor its subnet's network or broadcast address); the gateway\n"
        "0.0.0.0 or a usable host inside the ip's subnet other than the ip; the port 1 to 65535. --force skips\n"
        "the rules (the encoder may still refuse), never the text syntax.\n"
        "Before a new ip is written, nothing may answer there yet (ICMP echo, connect to the port, 0.4 s at\n"
        "most); an address in use makes the write invalid unless --allow-in-use or --force. The address an\n"
        "encoder was reached at is never in use for that encoder. apply checks every row's new address at\n"
        "once before its first write.\n");
    // In the order of the program's help; the internal ones last.
    table.commands = {
        readCommand(), writeCommand(), saveCommand(), loadCommand(), checkCommand(), scanCommand(), applyCommand(),
        commissionCommand(), doctorCommand(), probeCommand(), serveCommand(),
    };
    return table;
}

} // namespace

const Program &program()
{
    static const Program table = makeProgram();
    return table;
}

} // namespace pnv::ctl
