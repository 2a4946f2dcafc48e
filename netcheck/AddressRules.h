#pragma once
// The address rules a configuration is judged by before anything is sent:
// strict text syntax for addresses and ports, and the rules a configuration
// must meet to be usable on a network. One module, so that pnv3400ctl's
// commands and the window refuse exactly the same things with the same words.

#include <QList>
#include <QString>
#include <QStringList>
#include <QStringView>

#include <cstdint>
#include <optional>

namespace pnv::net {

// Dotted decimal, four octets of 0 to 255, nothing else: no blanks, no signs,
// no leading zeros (other tools read "010" as octal, so it is refused rather
// than guessed).
std::optional<std::uint32_t> parseDotted(QStringView text);
QString formatDotted(std::uint32_t address);

// The prefix length of a mask, or -1 when its one bits are not contiguous.
int prefixLength(std::uint32_t mask);
// The mask of a prefix length of 0 to 32.
std::uint32_t maskOfPrefix(int prefix);

// Decimal digits only, 0 to 65535. Port 0 parses: refusing it is a rule, which
// --force may skip; a value that does not fit the record's 16 bits never parses.
std::optional<std::uint16_t> parsePort(QStringView text);

// Any field may be absent: rules that need an absent field wait until the
// caller knows it (for write, after reading the encoder's present values).
struct PlannedConfig {
    std::optional<std::uint32_t> ip;
    std::optional<std::uint16_t> port;
    std::optional<std::uint32_t> gateway;
    std::optional<std::uint32_t> mask;
};

// The fields as given on a command line or in a file; a null QString is "not given".
struct FieldTexts {
    QString ip;
    QString port;
    QString gateway;
    QString mask;
};

// A refusal and the field it is about ("ip", "port", "gateway" or "mask"), so
// that a caller can place it (a file's line, a form's field) without reading
// its text. The message names the field, the value and the rule, e.g.
// "mask 255.0.255.0 is not contiguous".
struct Violation {
    QString field;
    QString message;
};
// Syntax errors are never skipped, not even with --force.
struct ParsedFields {
    PlannedConfig config;
    QList<Violation> syntaxErrors;
};
ParsedFields parseFields(const FieldTexts &texts);

// Empty when every rule that can be judged with the fields present is met.
QList<Violation> fieldViolations(const PlannedConfig &config);
// The messages of fieldViolations().
QStringList ruleViolations(const PlannedConfig &config);
QStringList messagesOf(const QList<Violation> &violations);

// The fields of `change` that are set, over `base`.
PlannedConfig merged(const PlannedConfig &base, const PlannedConfig &change);

} // namespace pnv::net
