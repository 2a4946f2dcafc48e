#pragma once
// Why a connect to the encoder may have failed, as far as this computer's
// side of the link can tell: the judgement `pnv3400ctl doctor` makes, in
// sentences for the window. It sends nothing and waits for nothing (the
// interface list and one route lookup the kernel answers at once), so it can
// run right after a failed call without holding the window.

#include <QString>

#include <cstdint>

namespace pnv {

QString connectDiagnosis(const QString &encoderAddress, std::int32_t port);

} // namespace pnv
