#include "PlanTable.h"

#include "Messages.h"
#include "TextFiles.h"

#include <QRegularExpression>

#include <utility>

namespace pnv::ctl {
namespace {

const QStringList kKnownColumns{QStringLiteral("encoder"), QStringLiteral("ip"),   QStringLiteral("port"),
                                QStringLiteral("gateway"), QStringLiteral("mask"), QStringLiteral("mac")};

// "encoder,ip,port,gateway,mask" or "ip,port,gateway,mask and, if wanted, mac".
QString columnsText(const PlanColumns &columns)
{
    QString text = columns.required.join(u',');
    if (!columns.optional.isEmpty())
        text += QStringLiteral(" and, if wanted, ") + columns.optional.join(u',');
    return text;
}

} // namespace

PlanTable readPlanTable(const QByteArray &bytes, const QString &fileName, const PlanColumns &columns, std::size_t rowLimit)
{
    PlanTable table;
    const auto refuse = [&](int line, const QString &message) { table.errors << Refusal(message, line, {}, {}, fileName); };
    QString text = QString::fromUtf8(bytes);
    if (text.startsWith(QChar(0xFEFF)))
        text.remove(0, 1);
    const QString headerRule = QStringLiteral("the first line must name the columns %1, in any order, each once")
                                   .arg(columnsText(columns));
    bool header = true;
    bool headerBroken = false;
    const CsvError csv = splitCsv(text, rowLimit + 1, [&](CsvRecord &&record) {
        table.lastLine = record.line;
        if (std::exchange(header, false)) {
            QStringList seen;
            for (const QString &cell : record.cells) {
                const QString name = cell.toLower();
                const bool known = columns.required.contains(name) || columns.optional.contains(name);
                if (!known || seen.contains(name)) {
                    refuse(record.line, QStringLiteral("%1; \"%2\" is %3")
                                            .arg(headerRule, printable(cell),
                                                 known ? QStringLiteral("named twice") : QStringLiteral("not one of them")));
                    headerBroken = true;
                    return;
                }
                seen << name;
            }
            for (const QString &name : columns.required)
                if (!seen.contains(name)) {
                    refuse(record.line, QStringLiteral("%1; \"%2\" is missing").arg(headerRule, name));
                    headerBroken = true;
                    return;
                }
            table.columns = seen;
            return;
        }
        if (headerBroken)
            return;   // no header to read the rows by
        if (record.cells.size() != table.columns.size()) {
            refuse(record.line, QStringLiteral("expected %1 cells (%2), found %3")
                                    .arg(table.columns.size())
                                    .arg(table.columns.join(u','))
                                    .arg(record.cells.size()));
            return;
        }
        PlanRecord row;
        row.line = record.line;
        for (qsizetype i = 0; i < record.cells.size(); ++i)
            if (!record.cells[i].isEmpty())
                row.cells.insert(table.columns[i], record.cells[i]);
        table.records.push_back(std::move(row));
    });
    // A plan that cannot be read to its end is refused for that alone.
    if (!csv.message.isEmpty() && !headerBroken) {
        table.records.clear();
        table.errors.clear();
        refuse(csv.line, csv.message);
    }
    if (header)
        refuse(1, QStringLiteral("the plan is empty; ") + headerRule);
    else if (table.records.empty() && table.errors.isEmpty())
        refuse(table.lastLine, QStringLiteral("the plan has no rows"));
    return table;
}

QStringList planHeaderNames(const QByteArray &bytes)
{
    QString text = QString::fromUtf8(bytes);
    if (text.startsWith(QChar(0xFEFF)))
        text.remove(0, 1);
    for (const QStringView line : QStringView(text).split(u'\n')) {
        QString squeezed = line.trimmed().toString().toLower();
        if (squeezed.isEmpty())
            continue;
        if (squeezed.contains(u'='))
            return {};
        squeezed.remove(u'"').remove(u' ').remove(u'\t');
        // Other separators than commas still make a header, to be named as a wrong one.
        const QStringList names = squeezed.split(QRegularExpression(QStringLiteral("[,;|]")));
        return kKnownColumns.contains(names.first()) ? names : QStringList();
    }
    return {};
}

} // namespace pnv::ctl
