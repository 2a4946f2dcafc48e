// write and load: the same checks, the same verified write, the same report.

#include "Shared.h"

#include "SafeFiles.h"
#include "TextFiles.h"

#include <QCoreApplication>

namespace pnv::ctl::commands {
namespace {

// A write's report as pnv3400ctl prints it: refusals one per line; in text,
// the report's line on stdout when it succeeded, on stderr when not.
Result writeResult(const WriteReport &report)
{
    Result result;
    result.exit = report.exit();
    result.objects << report.toJson();
    if (report.outcome == WriteOutcome::Invalid)
        result.notes = report.messages;
    else
        (result.exit == ExitCode::Success ? result.lines : result.problems) << report.describe();
    result.notes << report.warnings;
    return result;
}

// Ctrl+C stops a write that has not started; one under way runs to its
// read-back, so an encoder is never left half written.
Result interruptibleWrite(const pnv::TessalinApi &api, const EncoderAddress &encoder, const net::PlannedConfig &change,
                          WriteOptions options)
{
    pnv::SignalWatch interrupts;
    interrupts.install(stoppingSignals());
    options.interrupted = [&interrupts] {
        QCoreApplication::processEvents();
        return interrupts.caught();
    };
    Result result = writeResult(writeEncoder(api, encoder, change, options));
    QCoreApplication::processEvents();
    if (interrupts.caught())
        result.exit = interruptedBy(interrupts.caughtSignal());
    return result;
}

Result runWrite(const Invocation &call, const net::FieldTexts &texts)
{
    const WriteOptions options = writeOptions(call);
    const QString encoder = call.globals.encoder.text();
    const net::ParsedFields parsed = net::parseFields(texts);
    if (!parsed.syntaxErrors.isEmpty())
        return writeResult(invalidReport(encoder, parsed.syntaxErrors));
    if (!options.force)
        if (const QList<net::Violation> refusals = net::fieldViolations(parsed.config); !refusals.isEmpty())
            return writeResult(invalidReport(encoder, refusals));
    const LibraryUse &library = boundLibrary(options.verbose);
    if (!library.api())
        return library.failure();
    return interruptibleWrite(*library.api(), call.globals.encoder, parsed.config, options);
}

Result write(const Invocation &call)
{
    const net::FieldTexts texts = fieldTexts(call);
    // A command line without a field is a mistake of its own, said before any link.
    if (texts.ip.isNull() && texts.port.isNull() && texts.gateway.isNull() && texts.mask.isNull())
        return Result::usage(QStringLiteral("write: nothing to write; give --ip, --port, --gateway or --mask"));
    return runWrite(call, texts);
}

Result load(const Invocation &call)
{
    const QString path = call.positional.first();
    Result failure;
    const auto text = readWholeFile(path, kConfigFileLimit, failure);
    if (!text)
        return failure;
    const ConfigFileContent content = parseConfigFile(*text, path);
    QList<Refusal> errors = content.errors;
    // Judged here too, so that a refusal names the file and the line.
    if (errors.isEmpty() && !call.isSet(options().force))
        errors = configRuleErrors(content, path);
    if (!errors.isEmpty()) {
        for (Refusal &error : errors)
            error.encoder = call.globals.encoder.text();
        return writeResult(invalidReport(call.globals.encoder.text(), errors));
    }
    return runWrite(call, content.fields);
}

} // namespace

Command writeCommand()
{
    const Options &o = options();
    return Command(QStringLiteral("write"), write)
        .summary(QStringLiteral("read, change the fields given, check, write, read back"))
        .description(QStringLiteral("Read the configuration, change the fields given, check the result against the "
                                    "rules, write it only if it differs, and read it back over the same link.\n")
                     + kNewAddressNote)
        .withOptions(o.fields() << o.dryRun << o.force << o.allowInUse << o.probed);
}

Command loadCommand()
{
    const Options &o = options();
    return Command(QStringLiteral("load"), load)
        .takes(QStringLiteral("FILE"), 1, 1)
        .summary(QStringLiteral("write what FILE holds, as write does"))
        .description(QStringLiteral("Write what FILE holds, as write does; the whole file is checked before connecting."))
        .withOptions({o.dryRun, o.force, o.allowInUse});
}

} // namespace pnv::ctl::commands
