#pragma once
// The two files pnv3400ctl reads and writes: a saved configuration
// ("key = value" lines) and an apply plan (CSV). Both are checked whole before
// anything is sent; every error names the file and the line.

#include "AddressPlan.h"
#include "EncoderSession.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <vector>

namespace pnv::ctl {

struct ConfigFileContent {
    FieldTexts fields;   // the keys present; absent ones stay null
    QString mac;         // information only, never written
    QStringList errors;  // "FILE:LINE: ..."
};
ConfigFileContent parseConfigFile(const QByteArray &text, const QString &fileName);
QByteArray formatConfigFile(const EncoderConfig &config, const QString &encoder);
// Replaces FILE whole or not at all. Returns an error text, empty on success.
QString saveConfigFile(const QString &path, const QByteArray &content);

struct PlanRow {
    int line = 0;
    EncoderAddress encoder;
    QString encoderText;   // as written
    FieldTexts fields;     // empty cells stay null
    PlannedConfig change;
};

struct Plan {
    std::vector<PlanRow> rows;
    QStringList errors;    // "FILE:LINE: ..."; a plan with any is refused whole
};
// Checks syntax, the same encoder twice and two rows giving the same new
// address always; the address rules unless `force`.
Plan parsePlan(const QByteArray &text, const QString &fileName, bool force);

} // namespace pnv::ctl
