#pragma once
// What Configuration Write judges before it sends anything: that every octet
// is one the user saw and a number from 0 to 255, and that the configuration
// meets the address rules pnv3400ctl judges it by. Each refusal is one line
// of the error box.

#include "ConfigRecords.h"

#include <QString>
#include <QStringList>

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <optional>
#include <utility>

class jIPEdit;

namespace pnv {

// The caption a refusal names a control by, and the control.
using CaptionedAddress = std::pair<QString, const jIPEdit *>;

// "Encoder IP, first octet: 300 is not a number from 0 to 255.": the number
// as the user typed it when the field wrapped it, else a number outside 0 to
// 255 that the field still holds.
QStringList octetRangeRefusals(std::initializer_list<CaptionedAddress> addresses);

// The port as converted, when its low 16 bits would send another number.
QStringList portRangeRefusals(const QString &caption, std::int32_t port);

// The address rules, judged on the request as it would be sent.
QStringList ruleRefusals(const ConfigRequestBytes &request);

// Whether something answers at an address already (the in-use probe).
using AddressInUse = std::function<std::optional<QString>(std::uint32_t address, std::uint16_t port)>;
// The probe pnv3400ctl's write makes: what answered, or nothing.
AddressInUse probeAddressInUse();

// Where the encoder answers now: the address and port it was reached at,
// and the ones its last Configuration Read showed it holding, if any.
struct EncoderPlace {
    std::uint32_t reachedIp = 0;
    std::uint16_t reachedPort = 0;
    std::optional<std::pair<std::uint32_t, std::uint16_t>> held;
};

// The Encoder IP a request would give, when it is neither the address the
// encoder was reached at nor the one it holds: refused when something answers
// there, or when this computer's ledger promised it to another encoder
// (`macText` is the MAC field, "00 - 1A - ..."; one never read counts as another's).
QStringList takenAddressRefusals(const QString &caption, const ConfigRequestBytes &request, const EncoderPlace &place,
                                 const QString &macText, const AddressInUse &inUse);

// After a write the encoder took (or may have taken) that gives it another
// address or port than it answered at: remembered as pending in the ledger,
// and the text telling where it will answer once it restarts; empty when it
// moves nowhere.
QString rememberMove(const ConfigRequestBytes &request, const EncoderPlace &place, const QString &macText);

// The error box's message for refusals: one line each, in the order given.
QString refusalMessage(const QStringList &refusals);

} // namespace pnv
