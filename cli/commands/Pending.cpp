// pending: the addresses this computer has promised to encoders that have
// not yet been seen at them, listed, or one forgotten.

#include "Commands.h"
#include "Shared.h"

#include "Messages.h"

namespace pnv::ctl::commands {
namespace {

QJsonObject entryJson(const PendingEntry &entry)
{
    return {{QStringLiteral("mac"), entry.mac},
            {QStringLiteral("answered-at"), entry.answeredAt},
            {QStringLiteral("ip"), net::formatDotted(entry.ip)},
            {QStringLiteral("port"), entry.port},
            {QStringLiteral("written"), entry.written.toUTC().toString(Qt::ISODate)}};
}

Result pending(const Invocation &call)
{
    PendingLedger &ledger = pendingLedger();
    Result result;
    if (call.positional.isEmpty()) {
        QString error;
        const std::vector<PendingEntry> entries = ledger.entries(&error);
        if (!error.isEmpty())
            return Result::failure(ExitCode::Encoder, {error});
        for (const PendingEntry &entry : entries) {
            result.objects << entryJson(entry);
            result.lines << QStringLiteral("%1 promised %2 (written %3 UTC while it answered at %4)")
                                .arg(entry.mac, entry.promisedText(),
                                     entry.written.toUTC().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")), entry.answeredAt);
        }
        return result;
    }
    if (call.positional.size() != 2 || call.positional.first() != QLatin1String("forget"))
        return Result::usage(QStringLiteral("pending takes nothing, or forget MAC"));
    const auto mac = parseMacText(call.positional[1]);
    if (!mac)
        return Result::usage(QStringLiteral("pending forget: \"%1\" is not six hexadecimal pairs joined by \":\"")
                                 .arg(printable(call.positional[1])));
    bool found = false;
    if (const QString error = ledger.forget(macText(*mac), &found); !error.isEmpty())
        return Result::failure(ExitCode::Encoder, {error});
    if (!found)
        return Result::usage(QStringLiteral("pending forget: nothing is pending for %1").arg(macText(*mac)));
    result.objects << QJsonObject{{QStringLiteral("forgotten"), macText(*mac)}};
    result.lines << QStringLiteral("%1: forgotten").arg(macText(*mac));
    return result;
}

} // namespace

Command pendingCommand()
{
    return Command(QStringLiteral("pending"), pending)
        .takes(QStringLiteral("[forget MAC]"), 0, 2)
        .summary(QStringLiteral("list the new addresses written but not yet seen taken, or forget one"))
        .description(QStringLiteral(
            "List the addresses this computer's writes gave encoders that have not been seen at them yet (the\n"
            "encoder answers at its old address until it restarts): MAC, new address, where it answered, when. A\n"
            "write that would give another encoder such an address is refused. An entry goes once a read shows\n"
            "the encoder at its new address, or without it. 'forget MAC' drops one by hand, for an encoder that\n"
            "was reset or replaced. The ledger is %1; writes from other computers are out of its reach.")
                         .arg(PendingLedger::defaultPath()))
        .ignoring({QStringLiteral("encoder"), QStringLiteral("library")});
}

} // namespace pnv::ctl::commands
