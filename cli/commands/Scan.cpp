// scan and its worker side, probe: which addresses of a subnet answer as an encoder.

#include "Shared.h"

#include "Messages.h"

#include <QJsonArray>
#include <QProcessEnvironment>

#include <algorithm>
#include <map>

namespace pnv::ctl::commands {
namespace {

// Every address of CIDR an encoder could have: without the network and
// broadcast addresses, except in /31 and /32 which have none.
std::optional<std::vector<std::uint32_t>> scanHosts(const QString &cidr)
{
    const qsizetype slash = cidr.indexOf(u'/');
    const auto base = net::parseDotted(slash < 0 ? QStringView(cidr) : QStringView(cidr).left(slash));
    // Digits only, as in an address: no blanks, signs or leading zeros.
    const auto prefixValue = slash < 0 ? std::optional<std::uint16_t>(32) : net::parsePort(QStringView(cidr).mid(slash + 1));
    if (!base || !prefixValue || *prefixValue < 22 || *prefixValue > 32)
        return std::nullopt;
    const int prefix = *prefixValue;
    const std::uint32_t mask = net::maskOfPrefix(prefix);
    const std::uint32_t network = *base & mask;
    const std::uint32_t last = network | ~mask;
    std::vector<std::uint32_t> hosts;
    for (std::uint64_t a = network; a <= last; ++a)
        if (prefix >= 31 || (a != network && a != last))
            hosts.push_back(static_cast<std::uint32_t>(a));
    return hosts;
}

// The hosts in batches, each one probe command line; small batches keep
// every worker busy, and each batch is one process's links, one after another.
std::vector<QStringList> probeCommandLines(const std::vector<std::uint32_t> &hosts, const Globals &globals,
                                           std::uint16_t port, int jobs)
{
    const std::size_t batch = std::clamp<std::size_t>(hosts.size() / (std::size_t(jobs) * 4), 1, 32);
    std::vector<QStringList> lines;
    for (std::size_t i = 0; i < hosts.size(); i += batch) {
        QStringList arguments = workerArguments(globals, {net::formatDotted(hosts[i]), port});
        // The port travels with the addresses: the worker has no other way to know it.
        arguments << QStringLiteral("probe") << QStringLiteral("--port") << QString::number(port);
        for (std::size_t j = i; j < std::min(hosts.size(), i + batch); ++j)
            arguments << net::formatDotted(hosts[j]);
        lines.push_back(arguments);
    }
    return lines;
}

Result foundResult(const std::map<std::uint32_t, QJsonObject> &found, std::uint16_t port)
{
    Result result;
    for (const auto &[address, line] : found) {
        const QString encoder = QStringLiteral("%1:%2").arg(net::formatDotted(address)).arg(port);
        const QJsonValue mac = line.value(QStringLiteral("mac"));
        // What the encoder holds, read in the same link, so that nobody needs a second pass to learn it.
        result.objects << QJsonObject{{QStringLiteral("encoder"), encoder}, {QStringLiteral("mac"), mac},
                                      {QStringLiteral("config"), line.value(QStringLiteral("config"))}};
        result.lines << QStringLiteral("%1 %2").arg(encoder, mac.isString() ? mac.toString() : QStringLiteral("(read failed)"));
    }
    return result;
}

Result scan(const Invocation &call)
{
    const Globals &globals = call.globals;
    const auto jobs = jobsValue(call, 8);
    const auto port = net::parsePort(call.value(options().scanPort));
    const auto timeout = strictNumber(call.value(options().timeout), 1, 3000);
    if (!jobs || !port || *port == 0 || !timeout)
        return Result::failure(
            ExitCode::Usage,
            (jobs ? QStringList() : QStringList{kJobsRange})
                << QStringLiteral("scan: --port needs 1 to 65535, --jobs 1 to 64 and --timeout 1 to 3000 milliseconds"));
    const QString cidr = call.positional.first();
    const auto hosts = scanHosts(cidr);
    if (!hosts)
        return Result::usage(
            QStringLiteral("scan: \"%1\" is not ADDRESS/PREFIX with a prefix of 22 to 32").arg(printable(cidr)));
    if (const LibraryUse library(false, LibraryUse::Purpose::CheckOnly); !library.api())
        return library.failure();
    Workers workers(globals, *jobs);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("TESSALIN_TIMEOUT_MS"), QString::number(*timeout));
    workers.pool.setEnvironment(environment);
    std::map<std::uint32_t, QJsonObject> found;
    QStringList problems;
    workers.pool.run(probeCommandLines(*hosts, globals, *port, *jobs), [&](const WorkerPool::Result &ended) {
        if (!ended.problem.isEmpty())
            problems << ended.problem;
        for (const QJsonObject &line : ended.lines)
            if (line.value(QStringLiteral("answered")).toBool())
                found[*net::parseDotted(line.value(QStringLiteral("address")).toString())] = line;
    });
    Result result = foundResult(found, *port);
    // Last, and always, even when nothing answered: a script tells an empty
    // subnet from a scan that printed nothing at all.
    result.objects << QJsonObject{{QStringLiteral("summary"),
                                   QJsonObject{{QStringLiteral("cidr"), cidr},
                                               {QStringLiteral("port"), int(*port)},
                                               {QStringLiteral("addresses"), int(hosts->size())},
                                               {QStringLiteral("answered"), int(found.size())},
                                               {QStringLiteral("problems"), QJsonArray::fromStringList(problems)},
                                               {QStringLiteral("interrupted"), workers.interrupts.caught()}}}};
    result.notes = problems;
    result.notes << QStringLiteral("scan: %1 of %2 addresses answered as an encoder").arg(found.size()).arg(hosts->size());
    result.exit = workers.interrupts.caught() ? interruptedBy(workers.interrupts.caughtSignal())
                  : problems.isEmpty()           ? ExitCode::Success
                                                 : ExitCode::Encoder;
    return result;
}

// Links to each address in turn, one link at a time.
Result probe(const Invocation &call)
{
    const auto port = net::parsePort(call.value(options().scanPort));
    if (!port)
        return Result::failure(ExitCode::Usage, {});
    const LibraryUse &library = boundLibrary(call.globals.verbose);
    if (!library.api())
        return library.failure();
    Result result;
    for (const QString &address : call.positional) {
        if (!net::parseDotted(address)) {
            result.exit = ExitCode::Usage;
            break;
        }
        EncoderSession session(*library.api(), {address, *port}, call.globals.verbose);
        QJsonObject line{{QStringLiteral("address"), address},
                         {QStringLiteral("answered"), false},
                         {QStringLiteral("mac"), QJsonValue::Null},
                         {QStringLiteral("config"), QJsonValue::Null}};
        if (session.connect() == 0) {
            line[QStringLiteral("answered")] = true;
            if (const auto read = session.read(); read.config) {
                QJsonObject config = read.config->toJson();
                const int prefix = net::prefixLength(read.config->mask);
                config[QStringLiteral("prefix")] = prefix < 0 ? QJsonValue(QJsonValue::Null) : QJsonValue(prefix);
                line[QStringLiteral("mac")] = read.config->macText();
                line[QStringLiteral("config")] = config;
            }
        }
        result.objects << line;
    }
    return result;
}

} // namespace

Command scanCommand()
{
    const Options &o = options();
    return Command(QStringLiteral("scan"), scan)
        .takes(QStringLiteral("CIDR"), 1, 1)
        .summary(QStringLiteral("list the addresses of CIDR (at most a /22) that answer as an encoder"))
        .description(QStringLiteral("List the addresses of CIDR (at most a /22) that answer as an encoder."))
        .withOptions({o.scanPort, o.jobs, o.timeout})
        .ignoring({QStringLiteral("encoder")});
}

Command probeCommand()
{
    return Command(QStringLiteral("probe"), probe)
        .takes(QStringLiteral("ADDRESS..."), 1, 1024)
        .description(QStringLiteral("Used by scan: link to each address in turn."))
        .withOptions({options().scanPort})
        .usedInternally();
}

} // namespace pnv::ctl::commands
