// doctor: this computer's side of the link first, as it needs no library (the
// route the kernel would take and whether an interface is next to the
// encoder); then whether the encoder answers and reads.

#include "Shared.h"

#include "Messages.h"
#include "Reach.h"

namespace pnv::ctl::commands {
namespace {

QStringList reachLines(const EncoderAddress &encoder, const net::RouteLookup &lookup, const net::Reach &reach)
{
    QStringList lines{QStringLiteral("encoder %1").arg(encoder.text())};
    if (lookup.route)
        lines << QStringLiteral("route: through %1, source address %2")
                     .arg(lookup.route->interface.isEmpty() ? QStringLiteral("(unknown interface)") : lookup.route->interface,
                          net::formatDotted(lookup.route->source));
    else
        lines << QStringLiteral("route: none (%1)").arg(lookup.error);
    if (reach.inSubnet.empty())
        lines << QStringLiteral("subnet: no interface holds an address in a subnet containing %1").arg(encoder.host);
    for (const net::InterfaceAddress &holder : reach.inSubnet)
        lines << QStringLiteral("subnet: %1 holds %2/%3, which contains %4")
                     .arg(holder.interface, net::formatDotted(holder.address))
                     .arg(holder.prefix)
                     .arg(encoder.host);
    for (const QString &note : reach.notes)
        lines << QStringLiteral("note: %1").arg(note);
    return lines;
}

// Whether the encoder answers and what it reads, or why not.
struct EncoderSide {
    bool bound = false;
    bool answers = false;
    std::optional<EncoderConfig> config;
    QString problem;
};

EncoderSide askEncoder(const EncoderAddress &encoder, bool verbose)
{
    EncoderSide side;
    const LibraryUse &library = boundLibrary(verbose);
    side.bound = library.api() != nullptr;
    if (!side.bound) {
        side.problem = library.failure().notes.value(0);
        return side;
    }
    EncoderSession session(*library.api(), encoder, verbose);
    const int code = session.connect();
    side.answers = code == TESSALIN_SUCCESS;
    if (!side.answers) {
        side.problem = QStringLiteral("connect: %1").arg(describeCode(code));
        return side;
    }
    const auto read = session.read();
    side.config = read.config;
    if (!read.config)
        side.problem = QStringLiteral("read: %1").arg(describeCode(read.code));
    return side;
}

QStringList encoderLines(const EncoderSide &side)
{
    QStringList lines{QStringLiteral("answers: %1").arg(side.answers ? QStringLiteral("yes")
                                                                     : QStringLiteral("no (%1)").arg(side.problem))};
    if (side.answers)
        lines << (side.config ? QStringLiteral("reads: yes: mac %1, ip %2, port %3, gateway %4, mask %5")
                                    .arg(side.config->macText(), net::formatDotted(side.config->ip))
                                    .arg(side.config->port)
                                    .arg(net::formatDotted(side.config->gateway), net::formatDotted(side.config->mask))
                              : QStringLiteral("reads: no (%1)").arg(side.problem));
    return lines;
}

Result doctor(const Invocation &call)
{
    EncoderAddress encoder = call.globals.encoder;
    if (!call.positional.isEmpty()) {
        const auto given = parseEncoderAddress(call.positional.first());
        if (!given)
            return Result::usage(QStringLiteral("doctor: \"%1\" is not ADDRESS[:PORT]").arg(printable(call.positional.first())));
        encoder = *given;
    }
    const net::Diagnosis diagnosis = net::diagnose(*net::parseDotted(encoder.host), encoder.port, true);
    const net::RouteLookup &lookup = diagnosis.lookup;
    const net::Reach &reach = diagnosis.reach;
    QJsonObject object = net::reachJson(lookup, reach);
    object[QStringLiteral("encoder")] = encoder.text();
    object[QStringLiteral("text")] = diagnosis.text;
    // An address no encoder can have is not asked.
    if (!reach.refusal.isEmpty()) {
        Result refused = Result::usage(QStringLiteral("doctor: %1").arg(reach.refusal));
        object[QStringLiteral("error")] = QStringLiteral("usage");
        object[QStringLiteral("exit")] = refused.exitCode();
        object[QStringLiteral("errors")] = jsonOf({Refusal(reach.refusal, 0, encoder.text())});
        refused.objects << object;
        return refused;
    }
    const EncoderSide side = askEncoder(encoder, call.globals.verbose);

    Result result;
    result.lines << reachLines(encoder, lookup, reach) << encoderLines(side);
    // What the command does, in words, before it: the notes above say why.
    if (reach.suggestion.startsWith(QLatin1String("ip addr add")))
        result.lines << QStringLiteral("no interface of this computer is next to %1; this command (not run here) would give it "
                                       "an address there:")
                            .arg(encoder.host)
                     << QStringLiteral("  ") + reach.suggestion;
    else if (reach.suggestion.startsWith(QLatin1String("ip addr del")))
        result.lines << QStringLiteral("this command (not run here) would take the encoder's address off this computer:")
                     << QStringLiteral("  ") + reach.suggestion;
    else if (reach.suggestion.startsWith(QLatin1String("ip route add")))
        result.lines << QStringLiteral("this command (not run here) would lead the way to %1 over a NIC of its own:").arg(encoder.host)
                     << QStringLiteral("  ") + reach.suggestion;
    else if (!reach.suggestion.isEmpty())
        result.lines << QStringLiteral("this command (not run here) would bring it up:") << QStringLiteral("  ") + reach.suggestion;
    object[QStringLiteral("answers")] = side.answers;
    object[QStringLiteral("reads")] = bool(side.config);
    object[QStringLiteral("config")] = side.config ? QJsonValue(side.config->toJson()) : QJsonValue(QJsonValue::Null);
    object[QStringLiteral("message")] = side.problem.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(side.problem);
    result.objects << object;
    result.exit = !side.bound ? ExitCode::Library : side.config ? ExitCode::Success : ExitCode::Encoder;
    return result;
}

} // namespace

Command doctorCommand()
{
    return Command(QStringLiteral("doctor"), doctor)
        .takes(QStringLiteral("[ENCODER]"), 0, 1)
        .summary(QStringLiteral("which interface reaches ENCODER (default the factory address), and does it answer"))
        .description(QStringLiteral(
            "Say which interface and source address this computer would use to reach ENCODER\n"
            "(ADDRESS[:PORT], default --encoder or the factory address 172.16.30.1:3001), whether an\n"
            "interface holds an address in a subnet containing it, and whether it answers and reads.\n"
            "When no interface is next to it, print the command that would give this computer an\n"
            "address there; it is never run. Exit 0 when the encoder reads, 1 otherwise."));
}

} // namespace pnv::ctl::commands
