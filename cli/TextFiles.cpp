#include "TextFiles.h"

#include <QDateTime>
#include <QHash>
#include <QRegularExpression>
#include <QSaveFile>

namespace pnv::ctl {
namespace {

QString located(const QString &fileName, int line, const QString &message)
{
    return QStringLiteral("%1:%2: %3").arg(fileName).arg(line).arg(message);
}

QStringList textLines(const QByteArray &text)
{
    QStringList lines = QString::fromUtf8(text).split(u'\n');
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    for (QString &line : lines)
        if (line.endsWith(u'\r'))
            line.chop(1);
    return lines;
}

} // namespace

ConfigFileContent parseConfigFile(const QByteArray &text, const QString &fileName)
{
    ConfigFileContent content;
    QHash<QString, int> seen;
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
                                      QStringLiteral("duplicate key \"%1\" (first on line %2)").arg(key).arg(seen[key]));
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
            content.errors << located(fileName, lineNumber, QStringLiteral("unknown key \"%1\"").arg(key));
            continue;
        }
        *slot = value.isNull() ? QStringLiteral("") : value;
        FieldTexts single;
        if (slot == &content.mac) {
            static const QRegularExpression macPattern(QStringLiteral("^[0-9A-Fa-f]{2}(:[0-9A-Fa-f]{2}){5}$"));
            if (!macPattern.match(value).hasMatch())
                content.errors << located(fileName, lineNumber,
                                          QStringLiteral("mac \"%1\" is not six hexadecimal pairs joined by \":\"")
                                              .arg(value));
            continue;
        }
        (key == QLatin1String("ip")        ? single.ip
         : key == QLatin1String("port")    ? single.port
         : key == QLatin1String("gateway") ? single.gateway
                                           : single.mask) = *slot;
        for (const QString &error : parseFields(single).syntaxErrors)
            content.errors << located(fileName, lineNumber, error);
    }
    return content;
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
        .arg(encoder, QDateTime::currentDateTimeUtc().toString(Qt::ISODate), config.macText(), formatDotted(config.ip))
        .arg(config.port)
        .arg(formatDotted(config.gateway), formatDotted(config.mask))
        .toUtf8();
}

QString saveConfigFile(const QString &path, const QByteArray &content)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size() || !file.commit())
        return QStringLiteral("cannot write %1: %2").arg(path, file.errorString());
    return {};
}

Plan parsePlan(const QByteArray &text, const QString &fileName, bool force)
{
    Plan plan;
    const QStringList lines = textLines(text);
    int first = 0;
    while (first < lines.size() && lines[first].trimmed().isEmpty())
        ++first;
    const QString header = QStringLiteral("encoder,ip,port,gateway,mask");
    if (first >= lines.size() || QString(lines[first]).remove(u' ') != header) {
        plan.errors << located(fileName, first + 1, QStringLiteral("the first line must be \"%1\"").arg(header));
        return plan;
    }
    QHash<QString, int> encoders;
    QHash<std::uint32_t, int> newAddresses;
    for (int i = first + 1; i < lines.size(); ++i) {
        const int lineNumber = i + 1;
        if (lines[i].trimmed().isEmpty())
            continue;
        const QStringList cells = lines[i].split(u',');
        const auto error = [&](const QString &message) { plan.errors << located(fileName, lineNumber, message); };
        if (cells.size() != 5) {
            error(QStringLiteral("expected 5 cells (%1), found %2").arg(header).arg(cells.size()));
            continue;
        }
        const auto cell = [&cells](int index) {
            const QString value = cells[index].trimmed();
            return value.isEmpty() ? QString() : value;
        };
        PlanRow row;
        row.line = lineNumber;
        row.encoderText = cell(0);
        row.fields = {cell(1), cell(2), cell(3), cell(4)};
        const auto encoder = parseEncoderAddress(row.encoderText);
        if (!encoder) {
            error(QStringLiteral("encoder \"%1\" is not ADDRESS[:PORT]").arg(row.encoderText));
            continue;
        }
        row.encoder = *encoder;
        const ParsedFields parsed = parseFields(row.fields);
        for (const QString &syntax : parsed.syntaxErrors)
            error(syntax);
        if (!parsed.syntaxErrors.isEmpty())
            continue;
        row.change = parsed.config;
        if (!force)
            for (const QString &rule : ruleViolations(row.change))
                error(QStringLiteral("%1: %2").arg(row.encoder.text(), rule));
        if (const int other = encoders.value(row.encoder.text()); other)
            error(QStringLiteral("encoder %1 is already on line %2").arg(row.encoder.text()).arg(other));
        else
            encoders.insert(row.encoder.text(), lineNumber);
        if (row.change.ip) {
            if (const int other = newAddresses.value(*row.change.ip); other)
                error(QStringLiteral("new ip %1 is already given on line %2").arg(formatDotted(*row.change.ip)).arg(other));
            else
                newAddresses.insert(*row.change.ip, lineNumber);
        }
        plan.rows.push_back(row);
    }
    if (plan.rows.empty() && plan.errors.isEmpty())
        plan.errors << located(fileName, lines.size(), QStringLiteral("the plan has no rows"));
    return plan;
}

} // namespace pnv::ctl
