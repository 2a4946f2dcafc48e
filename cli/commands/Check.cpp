// check: fields, a saved configuration or a plan against the rules; no traffic.

#include "Shared.h"

#include "Messages.h"
#include "SafeFiles.h"
#include "TextFiles.h"

#include <QJsonArray>

namespace pnv::ctl::commands {
namespace {

Result checkResult(const QStringList &errors, const QString &okText)
{
    Result result;
    result.exit = errors.isEmpty() ? ExitCode::Success : ExitCode::Usage;
    result.notes = errors;
    result.objects << QJsonObject{{QStringLiteral("valid"), errors.isEmpty()},
                                  {QStringLiteral("errors"), QJsonArray::fromStringList(errors)}};
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
    QStringList errors = parsed.syntaxErrors;
    if (errors.isEmpty())
        errors = net::ruleViolations(parsed.config);
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
        return checkResult(failure.notes, {});   // with --json too, {"valid": false, ...}
    // The same test of a file's kind as load and apply make.
    if (fileKind(*text) == FileKind::Plan) {
        const Plan plan = parsePlan(*text, path, false);
        return checkResult(plan.errors, QStringLiteral("ok: %1 rows, no rule refuses any").arg(plan.rows.size()));
    }
    if (text->size() > kConfigFileLimit)
        return checkResult({QStringLiteral("%1 is larger than 64 KiB and no plan; refused").arg(quotedName(path))}, {});
    const ConfigFileContent content = parseConfigFile(*text, path);
    QStringList errors = content.errors;
    if (errors.isEmpty())
        errors = configRuleErrors(content, path);
    return checkResult(errors, QStringLiteral("ok: %1 passes the rules").arg(quotedName(path)));
}

} // namespace

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

} // namespace pnv::ctl::commands
