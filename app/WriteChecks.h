#pragma once
// What Configuration Write judges before it sends anything: that every octet
// is one the user saw and a number from 0 to 255, and that the configuration
// meets the address rules pnv3400ctl judges it by. Each refusal is one line
// of the error box.

#include "ConfigRecords.h"

#include <QString>
#include <QStringList>

#include <initializer_list>
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

// The error box's message for refusals: one line each, in the order given.
QString refusalMessage(const QStringList &refusals);

} // namespace pnv
