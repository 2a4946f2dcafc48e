#pragma once
// The address plan rules that pnv3400ctl applies before it sends anything:
// strict text syntax for addresses and ports, and the rules a configuration
// must meet to be usable on a network. One module, so that check, write, load
// and apply refuse exactly the same things with exactly the same words.

#include <QString>
#include <QStringList>
#include <QStringView>

#include <cstdint>
#include <optional>

namespace pnv::ctl {

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

// Syntax errors are never skipped, not even with --force.
struct ParsedFields {
    PlannedConfig config;
    QStringList syntaxErrors;
};
ParsedFields parseFields(const FieldTexts &texts);

// Each refusal names the field, the value and the rule, e.g.
// "mask 255.0.255.0 is not contiguous". Empty when every rule that can be
// judged with the fields present is met.
QStringList ruleViolations(const PlannedConfig &config);

// `text` fit for a message on a terminal: control characters escaped as JSON
// escapes them (\n, \t, \u001b, ...), so that a hostile file or argument cannot
// retitle or clear the terminal, and cut after `limit` characters with "..."
// and the full length.
QString printable(QStringView text, qsizetype limit = 80);

// The fields of `change` that are set, over `base`.
PlannedConfig merged(const PlannedConfig &base, const PlannedConfig &change);

} // namespace pnv::ctl
