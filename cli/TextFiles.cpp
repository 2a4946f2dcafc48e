#include "TextFiles.h"
#include "Messages.h"
#include "PlanTable.h"

#include <QDateTime>
#include <QHash>
#include <QRegularExpression>

#include <algorithm>
#include <functional>
#include <optional>
#include <utility>

namespace pnv::ctl {
namespace {

QString withoutByteOrderMark(const QByteArray &text)
{
    QString decoded = QString::fromUtf8(text);
    if (decoded.startsWith(QChar(0xFEFF)))
        decoded.remove(0, 1);
    return decoded;
}

QStringList textLines(const QByteArray &text)
{
    QStringList lines = withoutByteOrderMark(text).split(u'\n');
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    for (QString &line : lines)
        if (line.endsWith(u'\r'))
            line.chop(1);
    return lines;
}

const PlanColumns kPlanColumns{{QStringLiteral("encoder"), QStringLiteral("ip"), QStringLiteral("port"),
                                 QStringLiteral("gateway"), QStringLiteral("mask")},
                                {}};

// RFC 4180 records, one to a line: cells separated by commas, a cell in
// double quotes may hold commas and "" for a quote, never a line break.
// Blanks outside quotes are dropped, as people line up columns by hand.
class CsvReader {
public:
    explicit CsvReader(const QString &text) : m_text(text), m_n(text.size()) {}

    bool atEnd() const { return m_i >= m_n; }
    // The next record; `blank` when it holds nothing at all. On an error,
    // error() says what and where, and the reader is done.
    CsvRecord next(bool &blank)
    {
        CsvRecord record;
        record.line = m_line;
        blank = true;
        for (;;) {
            skipBlanks();
            QString cell;
            if (at(u'"')) {
                blank = false;
                if (!quotedCell(cell))
                    return record;
            } else {
                cell = plainCell();
                blank = blank && cell.isEmpty();
            }
            record.cells << cell;
            if (!at(u',')) {
                endOfLine();
                return record;
            }
            blank = false;
            ++m_i;
        }
    }
    const CsvError &error() const { return m_error; }

private:
    bool at(char16_t c) const { return m_i < m_n && m_text[m_i] == c; }
    void skipBlanks()
    {
        while (at(u' ') || at(u'\t'))
            ++m_i;
    }
    void fail(const QString &message, int line)
    {
        m_error = {message, line};
        m_i = m_n;
    }
    // After the opening quote: the cell up to its closing quote, which must
    // end the cell.
    bool quotedCell(QString &cell)
    {
        const int opened = m_line;
        ++m_i;
        for (;;) {
            if (atEnd()) {
                fail(QStringLiteral("a quoted cell opened here is not closed on its line"), opened);
                return false;
            }
            if (at(u'"')) {
                if (m_i + 1 < m_n && m_text[m_i + 1] == u'"') {
                    cell += u'"';
                    m_i += 2;
                    continue;
                }
                ++m_i;
                break;
            }
            // A quote never spans lines: one left open would swallow the rows after it.
            if (at(u'\n') || (at(u'\r') && m_i + 1 < m_n && m_text[m_i + 1] == u'\n')) {
                fail(QStringLiteral("a quoted cell opened here is not closed on its line"), opened);
                return false;
            }
            cell += m_text[m_i++];
        }
        skipBlanks();
        const bool crlfOrLastCr = at(u'\r') && (m_i + 1 == m_n || m_text[m_i + 1] == u'\n');
        if (!atEnd() && !at(u',') && !at(u'\n') && !crlfOrLastCr) {
            fail(QStringLiteral("text after a closing quote"), m_line);
            return false;
        }
        return true;
    }
    QString plainCell()
    {
        const qsizetype start = m_i;
        while (!atEnd() && !at(u',') && !at(u'\n'))
            ++m_i;
        QString cell = m_text.mid(start, m_i - start);
        if (cell.endsWith(u'\r'))
            cell.chop(1);
        return cell.trimmed();
    }
    void endOfLine()
    {
        if (at(u'\r'))
            ++m_i;
        if (at(u'\n')) {
            ++m_i;
            ++m_line;
        }
    }

    const QString &m_text;
    const qsizetype m_n;
    qsizetype m_i = 0;
    int m_line = 1;
    CsvError m_error;
};

} // namespace

CsvError splitCsv(const QString &text, std::size_t recordLimit, const std::function<void(CsvRecord &&)> &take)
{
    CsvReader reader(text);
    std::size_t records = 0;
    while (!reader.atEnd()) {
        bool blank = false;
        CsvRecord record = reader.next(blank);
        if (!reader.error().message.isEmpty())
            return reader.error();
        if (blank)
            continue;
        if (records++ >= recordLimit)
            return {QStringLiteral("more than %1 rows; refused").arg(recordLimit - 1), record.line};
        take(std::move(record));
    }
    return {};
}

ConfigFileContent parseConfigFile(const QByteArray &text, const QString &fileName)
{
    ConfigFileContent content;
    if (fileKind(text) == FileKind::Plan) {
        content.errors << Refusal(QStringLiteral("this is an apply plan, not a saved configuration"), 1, {}, {}, fileName);
        return content;
    }
    QHash<QString, int> &seen = content.lines;
    const auto refuse = [&](const QString &message, int line, const QString &field = {}) {
        content.errors << Refusal(message, line, {}, field, fileName);
    };
    const QStringList lines = textLines(text);
    for (int i = 0; i < lines.size(); ++i) {
        const int lineNumber = i + 1;
        const QString line = lines[i].trimmed();
        if (line.isEmpty() || line.startsWith(u'#'))
            continue;
        const qsizetype equals = line.indexOf(u'=');
        if (equals < 0) {
            refuse(QStringLiteral("expected \"key = value\""), lineNumber);
            continue;
        }
        const QString key = line.left(equals).trimmed();
        const QString value = line.mid(equals + 1).trimmed();
        if (seen.contains(key)) {
            static const QStringList keys{QStringLiteral("ip"), QStringLiteral("port"), QStringLiteral("gateway"),
                                          QStringLiteral("mask"), QStringLiteral("mac")};
            refuse(QStringLiteral("duplicate key \"%1\" (first on line %2)").arg(printable(key)).arg(seen[key]), lineNumber,
                   keys.contains(key) ? key : QString());
            continue;
        }
        seen.insert(key, lineNumber);
        QString *slot = key == QLatin1String("ip")        ? &content.fields.ip
                        : key == QLatin1String("port")    ? &content.fields.port
                        : key == QLatin1String("gateway") ? &content.fields.gateway
                        : key == QLatin1String("mask")    ? &content.fields.mask
                        : key == QLatin1String("mac")     ? &content.mac
                                                          : nullptr;
        if (!slot) {
            refuse(QStringLiteral("unknown key \"%1\"").arg(printable(key)), lineNumber);
            continue;
        }
        *slot = value.isNull() ? QStringLiteral("") : value;
        net::FieldTexts single;
        if (slot == &content.mac) {
            static const QRegularExpression macPattern(QStringLiteral("^[0-9A-Fa-f]{2}(:[0-9A-Fa-f]{2}){5}$"));
            if (!macPattern.match(value).hasMatch())
                refuse(QStringLiteral("mac \"%1\" is not six hexadecimal pairs joined by \":\"").arg(printable(value)),
                       lineNumber, key);
            continue;
        }
        (key == QLatin1String("ip")        ? single.ip
         : key == QLatin1String("port")    ? single.port
         : key == QLatin1String("gateway") ? single.gateway
                                           : single.mask) = *slot;
        for (const net::Violation &error : net::parseFields(single).syntaxErrors)
            refuse(error.message, lineNumber, error.field);
    }
    const net::FieldTexts &f = content.fields;
    if (f.ip.isNull() && f.port.isNull() && f.gateway.isNull() && f.mask.isNull() && content.errors.isEmpty())
        content.errors << Refusal(QStringLiteral("no ip, port, gateway or mask line; there is nothing to load"), 0, {}, {},
                                  fileName);
    return content;
}

QList<Refusal> configRuleErrors(const ConfigFileContent &content, const QString &fileName)
{
    QList<Refusal> errors;
    for (const net::Violation &rule : net::fieldViolations(net::parseFields(content.fields).config))
        errors << Refusal(rule.message, content.lines.value(rule.field), {}, rule.field, fileName);
    return errors;
}

QByteArray formatConfigFile(const EncoderConfig &config, const QString &encoder)
{
    return QStringLiteral("# PNV-3400 encoder configuration, read from %1 at %2\n"
                          "# pnv3400ctl load FILE writes ip, port, gateway and mask; mac is for information only.\n"
                          "mac = %3\n"
                          "ip = %4\n"
                          "port = %5\n"
                          "gateway = %6\n"
                          "mask = %7\n")
        .arg(encoder, QDateTime::currentDateTimeUtc().toString(Qt::ISODate), config.macText(), net::formatDotted(config.ip))
        .arg(config.port)
        .arg(net::formatDotted(config.gateway), net::formatDotted(config.mask))
        .toUtf8();
}

FileKind fileKind(const QByteArray &text)
{
    return planHeaderNames(text).isEmpty() ? FileKind::Configuration : FileKind::Plan;
}

namespace {

using LineErrors = QList<Refusal>;   // sorted by line at the end

// One record as a row: its syntax always, the address rules unless `force`.
// Nothing when its encoder or a field cannot be read at all.
std::optional<PlanRow> planRow(const PlanRecord &record, bool force, LineErrors &errors)
{
    const auto error = [&](const QString &message, const QString &field = {}) {
        errors.push_back(Refusal(message, record.line, record.cell(QStringLiteral("encoder")), field));
    };
    PlanRow row;
    row.line = record.line;
    row.encoderText = record.cell(QStringLiteral("encoder"));
    row.fields = {record.cell(QStringLiteral("ip")), record.cell(QStringLiteral("port")),
                  record.cell(QStringLiteral("gateway")), record.cell(QStringLiteral("mask"))};
    const auto encoder = parseEncoderAddress(row.encoderText);
    // Kept for the checks across rows: an encoder given nothing keeps its address.
    if (encoder && row.fields.ip.isNull() && row.fields.port.isNull() && row.fields.gateway.isNull() && row.fields.mask.isNull())
        error(QStringLiteral("nothing to write: give at least one of ip, port, gateway and mask"));
    if (!encoder) {
        error(QStringLiteral("encoder \"%1\" is not ADDRESS[:PORT]").arg(printable(row.encoderText)));
        return std::nullopt;
    }
    row.encoder = *encoder;
    const net::ParsedFields parsed = net::parseFields(row.fields);
    for (const net::Violation &syntax : parsed.syntaxErrors)
        error(syntax.message, syntax.field);
    if (!parsed.syntaxErrors.isEmpty())
        return std::nullopt;
    row.change = parsed.config;
    if (!force)
        for (const net::Violation &rule : net::fieldViolations(row.change))
            error(QStringLiteral("%1: %2").arg(row.encoder.text(), rule.message), rule.field);
    return row;
}

std::uint32_t hostOf(const PlanRow &row) { return *net::parseDotted(row.encoder.host); }

// Whether the row gives its encoder an address other than the present one.
bool moves(const PlanRow &row) { return row.change.ip && *row.change.ip != hostOf(row); }

// The same encoder twice, and the same new ip twice.
void duplicateErrors(const std::vector<PlanRow> &rows, LineErrors &errors)
{
    QHash<quint64, int> encoders;   // address and port, as a number: a million keys stay small
    QHash<std::uint32_t, int> newAddresses;
    for (const PlanRow &row : rows) {
        const quint64 key = quint64(hostOf(row)) << 16 | row.encoder.port;
        if (const int other = encoders.value(key); other)
            errors.push_back(Refusal(QStringLiteral("encoder %1 is already on line %2").arg(row.encoder.text()).arg(other),
                                     row.line, row.encoderText, QStringLiteral("encoder")));
        else
            encoders.insert(key, row.line);
        if (!row.change.ip)
            continue;
        if (const int other = newAddresses.value(*row.change.ip); other)
            errors.push_back(Refusal(QStringLiteral("new ip %1 is already given on line %2")
                                         .arg(net::formatDotted(*row.change.ip))
                                         .arg(other),
                                     row.line, row.encoderText, QStringLiteral("ip")));
        else
            newAddresses.insert(*row.change.ip, row.line);
    }
}

// A new ip must not be the present address of another row's encoder: one
// that keeps it would share it, and one that moves away frees it only once it
// restarts, so a chain of moves (A onto B while B moves on) puts two
// encoders on one address as soon as any link of it fails, and a cycle
// (A onto B, B onto A) does whatever order is taken.
void moveOntoOthersErrors(const std::vector<PlanRow> &rows, LineErrors &errors)
{
    QHash<std::uint32_t, const PlanRow *> byHost;
    for (const PlanRow &row : rows)
        if (!byHost.contains(hostOf(row)))
            byHost.insert(hostOf(row), &row);
    for (const PlanRow &row : rows) {
        if (!moves(row))
            continue;
        const PlanRow *holder = byHost.value(*row.change.ip);
        // One that writes its own address out again is already "given twice".
        if (!holder || holder == &row || (holder->change.ip && !moves(*holder)))
            continue;
        const QString address = net::formatDotted(*row.change.ip);
        if (!moves(*holder)) {
            errors.push_back(Refusal(QStringLiteral("new ip %1 is the address of encoder %2 on line %3, which keeps it")
                                         .arg(address, holder->encoder.text())
                                         .arg(holder->line),
                                     row.line, row.encoderText, QStringLiteral("ip")));
            continue;
        }
        // Follow the chain on from the holder: back at this row, it is a cycle.
        QStringList lines{QString::number(row.line)};
        bool cycle = false;
        for (const PlanRow *next = holder; next && moves(*next) && lines.size() <= int(rows.size());
             next = byHost.value(*next->change.ip)) {
            if (next == &row) {
                cycle = true;
                break;
            }
            lines << QString::number(next->line);
        }
        errors.push_back(Refusal(
            QStringLiteral("new ip %1 is the present address of encoder %2 on line %3, which moves to %4; %5")
                .arg(address, holder->encoder.text())
                .arg(holder->line)
                .arg(net::formatDotted(*holder->change.ip),
                     cycle ? QStringLiteral("lines %1 form a cycle of moves, which no order applies without two "
                                            "encoders on one address")
                                 .arg(lines.join(QStringLiteral(", ")))
                           : QStringLiteral("lines %1 form a chain of moves; apply the one that vacates the address "
                                            "first, in a plan of its own")
                                 .arg(lines.join(QStringLiteral(", ")))),
            row.line, row.encoderText, QStringLiteral("ip")));
    }
}

} // namespace

Plan parsePlan(const QByteArray &text, const QString &fileName, bool force)
{
    Plan plan;
    LineErrors errors;
    const auto finish = [&] {
        std::stable_sort(errors.begin(), errors.end(), [](const Refusal &a, const Refusal &b) { return a.line < b.line; });
        for (Refusal &error : errors)
            error.file = fileName;
        plan.errors = std::move(errors);
        return plan;
    };
    PlanTable table = readPlanTable(text, fileName, kPlanColumns, std::size_t(kPlanRowLimit));
    errors = std::move(table.errors);
    for (const PlanRecord &record : table.records)
        if (auto row = planRow(record, force, errors))
            plan.rows.push_back(std::move(*row));
    duplicateErrors(plan.rows, errors);
    moveOntoOthersErrors(plan.rows, errors);
    return finish();
}

} // namespace pnv::ctl
