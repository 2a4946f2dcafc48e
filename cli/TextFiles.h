#pragma once
// The two files pnv3400ctl reads and writes: a saved configuration
// ("key = value" lines) and an apply plan (CSV). Both are checked whole before
// anything is sent; every error names the file and the line.

#include "AddressRules.h"
#include "EncoderSession.h"
#include "Results.h"

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QStringList>
#include <functional>
#include <vector>

namespace pnv::ctl {

// What a file holds, told by its first line that is not blank: a plan starts
// with its header (whatever its case, quoting or separators, so that a wrong
// header is named as such), anything else is a saved configuration. check,
// load and apply all judge by this.
enum class FileKind { Configuration, Plan };
FileKind fileKind(const QByteArray &text);

struct ConfigFileContent {
    net::FieldTexts fields;   // the keys present; absent ones stay null
    QString mac;         // information only, never written
    QList<Refusal> errors;   // each with the file, and its line and field where known
    QHash<QString, int> lines;   // key -> its line, to place rule errors
};
// A file with no "key = value" line at all is an error: loading it would
// silently do nothing.
ConfigFileContent parseConfigFile(const QByteArray &text, const QString &fileName);
// The address rules over the file's fields, each placed at the line of the
// field it names first.
QList<Refusal> configRuleErrors(const ConfigFileContent &content, const QString &fileName);
QByteArray formatConfigFile(const EncoderConfig &config, const QString &encoder);

struct CsvRecord {
    int line = 0;          // where the record starts
    QStringList cells;     // unquoted, blanks around them removed
};

struct CsvError {
    QString message;   // empty: none; the records before it were handed on
    int line = 0;
};

// RFC 4180 records: cells separated by commas, a cell in double quotes may
// hold commas, line breaks and "" for a quote. Blanks outside quotes are
// dropped, as people line up columns by hand. Each record that is not blank
// goes to `take` as it is read, so that a large plan is never held twice;
// after `recordLimit` records the text is refused.
CsvError splitCsv(const QString &text, std::size_t recordLimit, const std::function<void(CsvRecord &&)> &take);

struct PlanRow {
    int line = 0;
    EncoderAddress encoder;
    QString encoderText;   // as written
    net::FieldTexts fields;     // empty cells stay null
    net::PlannedConfig change;
};

struct Plan {
    std::vector<PlanRow> rows;
    // Each with the file, its line, and the encoder cell of its row and the
    // field where known; a plan with any is refused whole.
    QList<Refusal> errors;
};
constexpr int kPlanRowLimit = 1000000;
// CSV as RFC 4180 has it (quoted cells, "" inside them, CRLF), with or without
// a byte order mark. Checks syntax, the same encoder twice, two rows giving
// the same new address, and a new address that is another row's encoder's
// present address (whether it keeps it or moves on: chains and cycles of
// moves are refused), always; the address rules unless `force`. Errors come
// in line order.
Plan parsePlan(const QByteArray &text, const QString &fileName, bool force);

} // namespace pnv::ctl
