#include "CommissionPlan.h"

#include "Messages.h"
#include "PlanTable.h"

#include <QHash>
#include <QRegularExpression>

#include <algorithm>
#include <optional>
#include <utility>

namespace pnv::ctl {
namespace {

const PlanColumns kCommissionColumns{{QStringLiteral("ip"), QStringLiteral("port"), QStringLiteral("gateway"), QStringLiteral("mask")},
                                     {QStringLiteral("mac")}};

} // namespace

net::PlannedConfig factoryConfig(std::uint32_t factoryAddress)
{
    net::PlannedConfig config;
    config.ip = factoryAddress;
    config.port = 3001;
    config.mask = *net::parseDotted(u"255.255.0.0");
    config.gateway = *net::parseDotted(u"172.16.0.1");
    return config;
}
Refusal placed(const QString &fileName, int line, const QString &message) { return Refusal(message, line, {}, {}, fileName); }

QString normalMac(const QString &text)
{
    static const QRegularExpression pattern(QStringLiteral("^[0-9A-Fa-f]{2}([:-][0-9A-Fa-f]{2}){5}$"));
    return pattern.match(text).hasMatch() ? text.toUpper().replace(u'-', u':') : QString();
}

const CommissionRow *CommissionPlan::rowForMac(const QString &mac) const
{
    const auto found = std::find_if(rows.begin(), rows.end(), [&mac](const CommissionRow &row) { return row.mac == mac; });
    return mac.isEmpty() || found == rows.end() ? nullptr : &*found;
}

CommissionPlan parseCommissionPlan(const QByteArray &text, const QString &fileName, std::uint32_t factoryAddress)
{
    CommissionPlan plan;
    PlanTable table = readPlanTable(text, fileName, kCommissionColumns, std::size_t(kCommissionRowLimit));
    QList<Refusal> errors = std::move(table.errors);
    plan.hasMacColumn = table.columns.contains(QStringLiteral("mac"));
    QHash<std::uint32_t, int> ips;   // ip -> row number
    QHash<QString, int> macs;
    for (const PlanRecord &record : table.records) {
        const auto error = [&](const QString &message, const QString &field = {}) {
            errors << Refusal(message, record.line, {}, field, fileName);
        };
        CommissionRow row;
        row.number = int(plan.rows.size()) + 1;
        row.line = record.line;
        row.fields = {record.cell(QStringLiteral("ip")), record.cell(QStringLiteral("port")),
                      record.cell(QStringLiteral("gateway")), record.cell(QStringLiteral("mask"))};
        const net::ParsedFields parsed = net::parseFields(row.fields);
        for (const net::Violation &syntax : parsed.syntaxErrors)
            error(syntax.message, syntax.field);
        row.change = parsed.config;
        if (parsed.syntaxErrors.isEmpty()) {
            const QList<net::Violation> own = net::fieldViolations(row.change);
            for (const net::Violation &rule : own)
                error(rule.message, rule.field);
            // What the row leaves empty the encoder keeps from the factory: the
            // row is judged as the encoder will hold it.
            if (own.isEmpty())
                for (const net::Violation &rule : net::fieldViolations(net::merged(factoryConfig(factoryAddress), row.change)))
                    error(QStringLiteral("%1 (the factory %2, kept as the row gives none)").arg(rule.message, rule.field),
                          rule.field);
        }
        if (row.fields.ip.isNull())
            error(QStringLiteral("no ip: every encoder would stay at the factory address"), QStringLiteral("ip"));
        if (row.change.ip && *row.change.ip == factoryAddress)
            error(QStringLiteral("ip %1 is the factory address, where every encoder still to come answers")
                      .arg(net::formatDotted(factoryAddress)),
                  QStringLiteral("ip"));
        if (row.change.ip) {
            if (const int other = ips.value(*row.change.ip); other)
                error(QStringLiteral("ip %1 is already given to row %2").arg(net::formatDotted(*row.change.ip)).arg(other),
                      QStringLiteral("ip"));
            else
                ips.insert(*row.change.ip, row.number);
        }
        if (const QString mac = record.cell(QStringLiteral("mac")); !mac.isNull()) {
            row.mac = normalMac(mac);
            if (row.mac.isEmpty())
                error(QStringLiteral("mac \"%1\" is not six hexadecimal pairs joined by \":\"").arg(printable(mac)),
                      QStringLiteral("mac"));
            else if (const int other = macs.value(row.mac); other)
                error(QStringLiteral("mac %1 is already given row %2").arg(row.mac).arg(other), QStringLiteral("mac"));
            else
                macs.insert(row.mac, row.number);
        }
        plan.rows.push_back(std::move(row));
    }
    std::stable_sort(errors.begin(), errors.end(), [](const Refusal &a, const Refusal &b) { return a.line < b.line; });
    plan.errors = std::move(errors);
    return plan;
}

} // namespace pnv::ctl
