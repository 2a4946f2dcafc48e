#pragma once
// The verified write: read what the encoder holds (its MAC on the link that
// will carry the write), keep what is not being changed, judge the result by
// the address rules, the in-use look and the ledger of pending addresses,
// write only when something differs, and read back over the same link to
// prove what the encoder holds. A write whose answer was lost is settled by
// reading the encoder again on a new link; only when that cannot be done is
// its outcome unknown: "failed" always means that nothing was written.
// It ends in a WriteReport; its JSON object and its text line are both made
// from that report, so `write`, `load`, every row of `apply` and `commission`
// say the same thing the same way.

#include "AddressProbe.h"
#include "EncoderSession.h"
#include "Outcomes.h"
#include "PendingLedger.h"

#include <QJsonObject>
#include <QJsonValue>
#include <QList>
#include <QStringList>

#include <array>
#include <functional>
#include <optional>

namespace pnv::road {

struct WriteOptions {
    bool dryRun = false;
    bool force = false;        // skip the address rules and the address-in-use check; the encoder may still refuse
    bool allowInUse = false;   // skip the address-in-use check only
    bool verbose = false;
    // Asked before a new ip is written: whether something answers there already.
    std::function<net::AddressProbe(std::uint32_t address, std::uint16_t port)> probe =
        [](std::uint32_t address, std::uint16_t port) { return net::probeAddress(address, port); };
    // The encoder the write is meant for: another MAC read on the write's own
    // link stops it before anything is sent (outcome failed, `mac` naming the one that answered).
    std::optional<std::array<std::uint8_t, 6>> expectMac;
    // Addresses promised to encoders that have not restarted into them: a new
    // ip promised to another MAC is refused (unless --force), and a write that
    // moves an encoder is recorded. None: neither.
    PendingLedger *ledger = nullptr;
    // Asked after the read, before the write: true stops there, nothing written.
    std::function<bool()> interrupted;
};

struct WriteReport {
    QString encoder;
    WriteOutcome outcome = WriteOutcome::Failed;
    QJsonValue before;   // the configuration read first, or null
    QJsonValue after;    // read back (would be written, for a dry run), or null
    QJsonValue code;     // the library's result or the encoder's status, or null
    QStringList messages;   // one, or every refusal of an invalid change
    QStringList warnings;   // what could not be checked, e.g. an in-use check that could not send its echo
    QList<Refusal> refusals;   // an invalid change's refusals as data, the same as `messages`
    QString mac;               // the MAC read on the write's own link; empty when nothing was read

    ExitCode exit() const { return outcomeRow(outcome).exit; }
    // {"encoder", "outcome", "changed", "before", "after", "code", "message", "messages", "warnings", "errors"};
    // "message" joins "messages" with "; ", which a refusal may hold itself;
    // "errors" holds the refusals as objects (empty unless invalid).
    QJsonObject toJson() const;
    // The same as one line of text for people.
    QString describe() const;
    // A report a worker printed; nothing when it names no known outcome.
    static std::optional<WriteReport> fromJson(const QJsonObject &object);
};

WriteReport writeEncoder(const pnv::TessalinApi &api, const EncoderAddress &encoder, const net::PlannedConfig &change,
                         const WriteOptions &options);

// The report of a change refused before anything was sent.
WriteReport invalidReport(const QString &encoder, const QList<Refusal> &refusals);
// The same for refusals of the address rules, each about the field it names.
WriteReport invalidReport(const QString &encoder, const QList<net::Violation> &violations);

} // namespace pnv::road
