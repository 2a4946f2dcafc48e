#pragma once
// The verified write: read what the encoder holds, keep what is not being
// changed, judge the result by the address rules, write only when something
// differs, and read back over the same link to prove what the encoder holds.
// Its report is one JSON object; the text line is made from that object, so
// `write`, `load` and every row of `apply` say the same thing the same way.

#include "EncoderSession.h"

#include <QJsonObject>
#include <QStringList>

namespace pnv::ctl {

enum class Outcome { Applied, Unchanged, DryRun, Rejected, NotApplied, Failed, Invalid };

QString outcomeName(Outcome outcome);
std::optional<Outcome> outcomeFromName(const QString &name);
// 0 applied, unchanged, dry run; 1 rejected, not applied, failed; 2 invalid.
int exitCodeFor(Outcome outcome);

struct WriteOptions {
    bool dryRun = false;
    bool force = false;   // skip the address rules; the encoder may still refuse
    bool verbose = false;
};

// {"encoder", "outcome", "changed", "before", "after", "code", "message"}
QJsonObject writeEncoder(const pnv::TessalinApi &api, const EncoderAddress &encoder, const PlannedConfig &change,
                         const WriteOptions &options);

// The report of a change refused before anything was sent.
QJsonObject invalidReport(const QString &encoder, const QStringList &refusals);

// The same report as one line of text for people.
QString describeReport(const QJsonObject &report);

} // namespace pnv::ctl
