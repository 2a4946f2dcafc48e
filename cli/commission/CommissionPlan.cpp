#include "CommissionPlan.h"

#include "Messages.h"
#include "TextFiles.h"

#include <QHash>
#include <QRegularExpression>

#include <algorithm>
#include <array>
#include <optional>
#include <utility>

namespace pnv::ctl {
namespace {

enum Column { Ip, Port, Gateway, Mask, Mac, ColumnCount };
constexpr std::array<const char *, ColumnCount> kColumnNames{"ip", "port", "gateway", "mask", "mac"};

} // namespace

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
    QList<Refusal> errors;
    QString decoded = QString::fromUtf8(text);
    if (decoded.startsWith(QChar(0xFEFF)))
        decoded.remove(0, 1);

    std::array<int, ColumnCount> columnOf;
    columnOf.fill(-1);
    qsizetype width = 0;
    bool header = true;
    bool headerBroken = false;
    QHash<std::uint32_t, int> ips;   // ip -> row number
    QHash<QString, int> macs;
    const CsvError csv = splitCsv(decoded, std::size_t(kCommissionRowLimit) + 1, [&](CsvRecord &&record) {
        const auto error = [&](const QString &message, const QString &field = {}) {
            errors << Refusal(message, record.line, {}, field, fileName);
        };
        if (std::exchange(header, false)) {
            headerBroken = true;
            width = record.cells.size();
            for (int i = 0; i < record.cells.size(); ++i) {
                const QString name = record.cells[i].toLower();
                const auto known = std::find_if(kColumnNames.begin(), kColumnNames.end(),
                                                [&name](const char *column) { return name == QLatin1String(column); });
                const int column = int(known - kColumnNames.begin());
                if (known == kColumnNames.end() || columnOf[column] >= 0) {
                    error(QStringLiteral("the first line must name the columns ip,port,gateway,mask and, if wanted, "
                                         "mac, each once; \"%1\" is not one of them")
                              .arg(printable(record.cells[i])));
                    return;
                }
                columnOf[column] = i;
            }
            if (std::any_of(columnOf.begin(), columnOf.begin() + Mac, [](int index) { return index < 0; }))
                error(QStringLiteral("the first line must name the columns ip,port,gateway,mask and, if wanted, mac"));
            else
                headerBroken = false;
            plan.hasMacColumn = columnOf[Mac] >= 0;
            return;
        }
        if (headerBroken)
            return;   // no header to read the rows by
        if (record.cells.size() != width) {
            error(QStringLiteral("expected %1 cells, found %2").arg(width).arg(record.cells.size()));
            return;
        }
        const auto cell = [&](Column column) {
            return columnOf[column] < 0 || record.cells[columnOf[column]].isEmpty() ? QString() : record.cells[columnOf[column]];
        };
        CommissionRow row;
        row.number = int(plan.rows.size()) + 1;
        row.line = record.line;
        row.fields = {cell(Ip), cell(Port), cell(Gateway), cell(Mask)};
        const net::ParsedFields parsed = net::parseFields(row.fields);
        for (const net::Violation &syntax : parsed.syntaxErrors)
            error(syntax.message, syntax.field);
        row.change = parsed.config;
        if (parsed.syntaxErrors.isEmpty())
            for (const net::Violation &rule : net::fieldViolations(row.change))
                error(rule.message, rule.field);
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
        if (const QString mac = cell(Mac); !mac.isNull()) {
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
    });
    if (!csv.message.isEmpty())
        errors << placed(fileName, csv.line, csv.message);
    if (header)
        errors << placed(fileName, 1, QStringLiteral("the plan is empty; the first line must name the columns ip,port,gateway,mask"));
    else if (plan.rows.empty() && errors.empty())
        errors << placed(fileName, 1, QStringLiteral("the plan has no rows"));
    std::stable_sort(errors.begin(), errors.end(), [](const Refusal &a, const Refusal &b) { return a.line < b.line; });
    plan.errors = std::move(errors);
    return plan;
}

} // namespace pnv::ctl
