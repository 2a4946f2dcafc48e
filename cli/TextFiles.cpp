#include "TextFiles.h"
#include "Messages.h"

#include <QDateTime>
#include <QHash>
#include <QRegularExpression>

#include <algorithm>
#include <functional>
#include <optional>
#include <utility>

namespace pnv::ctl {
namespace {

QString located(const QString &fileName, int line, const QString &message)
{
    return QStringLiteral("%1:%2: %3").arg(printable(fileName, 1024)).arg(line).arg(message);
}

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

const QString kPlanHeader = QStringLiteral("encoder,ip,port,gateway,mask");

} // namespace

CsvError splitCsv(const QString &text, std::size_t recordLimit, const std::function<void(CsvRecord &&)> &take)
{
    CsvError csv;
    std::size_t records = 0;
    int line = 1;
    qsizetype i = 0;
    const qsizetype n = text.size();
    while (i < n) {
        CsvRecord record;
        record.line = line;
        bool blank = true;
        for (;;) {   // one cell
            QString cell;
            while (i < n && (text[i] == u' ' || text[i] == u'\t'))
                ++i;
            if (i < n && text[i] == u'"') {
                blank = false;
                const int opened = line;
                ++i;
                for (;;) {
                    if (i >= n) {
                        csv.message = QStringLiteral("a quoted cell opened here is not closed");
                        csv.line = opened;
                        return csv;
                    }
                    if (text[i] == u'"') {
                        if (i + 1 < n && text[i + 1] == u'"') {
                            cell += u'"';
                            i += 2;
                            continue;
                        }
                        ++i;
                        break;
                    }
                    if (text[i] == u'\n')
                        ++line;
                    cell += text[i++];
                }
                while (i < n && (text[i] == u' ' || text[i] == u'\t'))
                    ++i;
                if (i < n && text[i] != u',' && text[i] != u'\n' && !(text[i] == u'\r' && i + 1 < n && text[i + 1] == u'\n')
                    && !(text[i] == u'\r' && i + 1 == n)) {
                    csv.message = QStringLiteral("text after a closing quote");
                    csv.line = line;
                    return csv;
                }
            } else {
                const qsizetype start = i;
                while (i < n && text[i] != u',' && text[i] != u'\n')
                    ++i;
                cell = text.mid(start, i - start);
                if (cell.endsWith(u'\r'))
                    cell.chop(1);
                cell = cell.trimmed();
                if (!cell.isEmpty())
                    blank = false;
            }
            record.cells << cell;
            if (i < n && text[i] == u',') {
                blank = false;
                ++i;
                continue;
            }
            if (i < n && text[i] == u'\r')
                ++i;
            if (i < n && text[i] == u'\n') {
                ++i;
                ++line;
            }
            break;
        }
        if (blank)
            continue;
        if (records++ >= recordLimit) {
            csv.message = QStringLiteral("more than %1 rows; refused").arg(recordLimit - 1);
            csv.line = record.line;
            return csv;
        }
        take(std::move(record));
    }
    return csv;
}

ConfigFileContent parseConfigFile(const QByteArray &text, const QString &fileName)
{
    ConfigFileContent content;
    if (fileKind(text) == FileKind::Plan) {
        content.errors << located(fileName, 1, QStringLiteral("this is an apply plan, not a saved configuration"));
        return content;
    }
    QHash<QString, int> &seen = content.lines;
    const QStringList lines = textLines(text);
    for (int i = 0; i < lines.size(); ++i) {
        const int lineNumber = i + 1;
        const QString line = lines[i].trimmed();
        if (line.isEmpty() || line.startsWith(u'#'))
            continue;
        const qsizetype equals = line.indexOf(u'=');
        if (equals < 0) {
            content.errors << located(fileName, lineNumber, QStringLiteral("expected \"key = value\""));
            continue;
        }
        const QString key = line.left(equals).trimmed();
        const QString value = line.mid(equals + 1).trimmed();
        if (seen.contains(key)) {
            content.errors << located(fileName, lineNumber,
                                      QStringLiteral("duplicate key \"%1\" (first on line %2)").arg(printable(key)).arg(seen[key]));
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
            content.errors << located(fileName, lineNumber, QStringLiteral("unknown key \"%1\"").arg(printable(key)));
            continue;
        }
        *slot = value.isNull() ? QStringLiteral("") : value;
        net::FieldTexts single;
        if (slot == &content.mac) {
            static const QRegularExpression macPattern(QStringLiteral("^[0-9A-Fa-f]{2}(:[0-9A-Fa-f]{2}){5}$"));
            if (!macPattern.match(value).hasMatch())
                content.errors << located(fileName, lineNumber,
                                          QStringLiteral("mac \"%1\" is not six hexadecimal pairs joined by \":\"")
                                              .arg(printable(value)));
            continue;
        }
        (key == QLatin1String("ip")        ? single.ip
         : key == QLatin1String("port")    ? single.port
         : key == QLatin1String("gateway") ? single.gateway
                                           : single.mask) = *slot;
        for (const QString &error : net::parseFields(single).syntaxErrors)
            content.errors << located(fileName, lineNumber, error);
    }
    if (seen.isEmpty() && content.errors.isEmpty())
        content.errors << QStringLiteral("%1: no \"key = value\" line; there is nothing to load")
                              .arg(printable(fileName, 1024));
    return content;
}

QStringList configRuleErrors(const ConfigFileContent &content, const QString &fileName)
{
    QStringList errors;
    for (const QString &rule : net::ruleViolations(net::parseFields(content.fields).config)) {
        const int line = content.lines.value(rule.section(u' ', 0, 0));
        errors << (line ? located(fileName, line, rule) : QStringLiteral("%1: %2").arg(printable(fileName, 1024), rule));
    }
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
    for (const QString &line : textLines(text)) {
        QString squeezed = line.trimmed().toLower();
        if (squeezed.isEmpty())
            continue;
        squeezed.remove(u'"').remove(u' ').remove(u'\t');
        return squeezed.startsWith(QLatin1String("encoder")) && !squeezed.contains(u'=') ? FileKind::Plan
                                                                                        : FileKind::Configuration;
    }
    return FileKind::Configuration;
}

Plan parsePlan(const QByteArray &text, const QString &fileName, bool force)
{
    Plan plan;
    std::vector<std::pair<int, QString>> errors;   // sorted by line at the end
    const auto finish = [&] {
        std::stable_sort(errors.begin(), errors.end(),
                         [](const auto &a, const auto &b) { return a.first < b.first; });
        for (const auto &[line, message] : errors)
            plan.errors << located(fileName, line, message);
        return plan;
    };
    // A first pass only reads: a wrong header, an unclosed quote or too many
    // rows is the one error reported, and no row is judged.
    const QString decoded = withoutByteOrderMark(text);
    std::optional<CsvRecord> header;
    int lastLine = 1;
    const CsvError csv = splitCsv(decoded, std::size_t(kPlanRowLimit) + 1, [&](CsvRecord &&record) {
        lastLine = record.line;
        if (!header)
            header = std::move(record);
    });
    if (!header || header->cells.join(u',') != kPlanHeader) {
        errors.assign(1, {header ? header->line : 1, QStringLiteral("the first line must be \"%1\"").arg(kPlanHeader)});
        return finish();
    }
    if (!csv.message.isEmpty()) {
        errors.assign(1, {csv.line, csv.message});
        return finish();
    }

    QHash<quint64, int> encoders;   // address and port, as a number: a million keys stay small
    QHash<std::uint32_t, int> newAddresses;
    bool first = true;
    splitCsv(decoded, std::size_t(kPlanRowLimit) + 1, [&](CsvRecord &&record) {
        if (std::exchange(first, false))
            return;   // the header
        const QStringList &cells = record.cells;
        const auto error = [&](const QString &message) { errors.emplace_back(record.line, message); };
        if (cells.size() != 5) {
            error(QStringLiteral("expected 5 cells (%1), found %2").arg(kPlanHeader).arg(cells.size()));
            return;
        }
        const auto cell = [&cells](int index) { return cells[index].isEmpty() ? QString() : cells[index]; };
        PlanRow row;
        row.line = record.line;
        row.encoderText = cell(0);
        row.fields = {cell(1), cell(2), cell(3), cell(4)};
        const auto encoder = parseEncoderAddress(row.encoderText);
        if (!encoder) {
            error(QStringLiteral("encoder \"%1\" is not ADDRESS[:PORT]").arg(printable(row.encoderText)));
            return;
        }
        row.encoder = *encoder;
        const net::ParsedFields parsed = net::parseFields(row.fields);
        for (const QString &syntax : parsed.syntaxErrors)
            error(syntax);
        if (!parsed.syntaxErrors.isEmpty())
            return;
        row.change = parsed.config;
        if (!force)
            for (const QString &rule : net::ruleViolations(row.change))
                error(QStringLiteral("%1: %2").arg(row.encoder.text(), rule));
        const quint64 key = quint64(*net::parseDotted(row.encoder.host)) << 16 | row.encoder.port;
        if (const int other = encoders.value(key); other)
            error(QStringLiteral("encoder %1 is already on line %2").arg(row.encoder.text()).arg(other));
        else
            encoders.insert(key, row.line);
        if (row.change.ip) {
            if (const int other = newAddresses.value(*row.change.ip); other)
                error(QStringLiteral("new ip %1 is already given on line %2").arg(net::formatDotted(*row.change.ip)).arg(other));
            else
                newAddresses.insert(*row.change.ip, row.line);
        }
        plan.rows.push_back(std::move(row));
    });
    // A new address must not be one that another row's encoder still holds
    // once the plan is done; an encoder that moves away frees its address.
    QHash<std::uint32_t, const PlanRow *> kept;
    for (const PlanRow &row : plan.rows) {
        const auto host = net::parseDotted(row.encoder.host);
        if (host && (!row.change.ip || *row.change.ip == *host))
            kept.insert(*host, &row);
    }
    for (const PlanRow &row : plan.rows) {
        if (!row.change.ip)
            continue;
        const PlanRow *holder = kept.value(*row.change.ip);
        // One that writes the same address out again is already "given twice".
        if (holder && holder != &row && !holder->change.ip)
            errors.emplace_back(row.line, QStringLiteral("new ip %1 is the address of encoder %2 on line %3, which keeps it")
                                              .arg(net::formatDotted(*row.change.ip), holder->encoder.text())
                                              .arg(holder->line));
    }
    if (plan.rows.empty() && errors.empty())
        errors.emplace_back(lastLine, QStringLiteral("the plan has no rows"));
    return finish();
}

} // namespace pnv::ctl
