// check: fields, a saved configuration or a plan against the rules; no traffic.

#include "Shared.h"

#include "Messages.h"
#include "SafeFiles.h"
#include "TextFiles.h"
#include "CommissionPlan.h"
#include "PlanTable.h"

namespace pnv::ctl::commands {
namespace {

Result checkResult(const QList<Refusal> &errors, const QString &okText)
{
    Result result = Result::refused(errors.isEmpty() ? ExitCode::Success : ExitCode::Usage, errors);
    result.objects << QJsonObject{{QStringLiteral("valid"), errors.isEmpty()}, {QStringLiteral("errors"), jsonOf(errors)}};
    if (errors.isEmpty())
        result.lines << okText;
    return result;
}

bool anyGiven(const net::FieldTexts &fields)
{
    return !fields.ip.isNull() || !fields.port.isNull() || !fields.gateway.isNull() || !fields.mask.isNull();
}

Result checkFields(const net::FieldTexts &fields)
{
    const net::ParsedFields parsed = net::parseFields(fields);
    QList<Refusal> errors;
    for (const net::Violation &error : parsed.syntaxErrors.isEmpty() ? net::fieldViolations(parsed.config) : parsed.syntaxErrors)
        errors << Refusal(error.message, 0, {}, error.field);
    const bool complete = parsed.config.ip && parsed.config.port && parsed.config.gateway && parsed.config.mask;
    return checkResult(errors, QStringLiteral("ok: no rule refuses these fields")
                                   + (complete ? QString()
                                               : QStringLiteral("; fields not given are judged by write against "
                                                                "what the encoder holds")));
}

Result checkFile(const QString &path)
{
    Result failure;
    const auto text = readWholeFile(path, kPlanFileLimit, failure);
    if (!text)
        return checkResult({Refusal(failure.notes.value(0))}, {});   // with --json too, {"valid": false, ...}
    // The same test of a file's kind as load and apply make.
    // A plan with an encoder column is apply's; one without, commission's, judged
    // as commission judges it with the encoders at the factory address.
    if (fileKind(*text) == FileKind::Plan) {
        if (!planHeaderNames(*text).contains(QStringLiteral("encoder"))) {
            const auto factory = net::parseDotted(u"172.16.30.1");
            const CommissionPlan plan = parseCommissionPlan(*text, path, *factory);
            return checkResult(plan.errors, QStringLiteral("ok: %1 rows to commission, no rule refuses any").arg(plan.rows.size()));
        }
        const Plan plan = parsePlan(*text, path, false);
        return checkResult(plan.errors, QStringLiteral("ok: %1 rows, no rule refuses any").arg(plan.rows.size()));
    }
    if (text->size() > kConfigFileLimit)
        return checkResult({Refusal(QStringLiteral("larger than 64 KiB and no plan; refused"), 0, {}, {}, path)}, {});
    const ConfigFileContent content = parseConfigFile(*text, path);
    QList<Refusal> errors = content.errors;
    if (errors.isEmpty())
        errors = configRuleErrors(content, path);
    return checkResult(errors, QStringLiteral("ok: %1 passes the rules").arg(quotedName(path)));
}

Result check(const Invocation &call)
{
    const QString path = call.positional.value(0);
    const net::FieldTexts fields = fieldTexts(call);
    if (!path.isEmpty() && anyGiven(fields))
        return Result::usage(QStringLiteral("check: give fields or a FILE, not both"));
    if (call.positional.isEmpty() && !anyGiven(fields))
        return Result::usage(QStringLiteral("check: nothing to check; give --ip, --port, --gateway, --mask or a FILE"));
    return path.isEmpty() ? checkFields(fields) : checkFile(path);
}

} // namespace

Command checkCommand()
{
    return Command(QStringLiteral("check"), check)
        .takes(QStringLiteral("[FILE]"), 0, 1)
        .summary(QStringLiteral("check fields, a file or a plan against the address rules only; no traffic at all"))
        .description(QStringLiteral("Check fields, a saved configuration or an apply plan against the rules. Sends nothing."))
        .withOptions(options().fields())
        .ignoring({QStringLiteral("encoder"), QStringLiteral("library"), QStringLiteral("verbose")});
}

} // namespace pnv::ctl::commands
