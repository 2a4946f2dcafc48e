#pragma once
// Text from outside (files, arguments, an encoder's replies) made fit to be
// shown in a message.

#include <QString>
#include <QStringView>

namespace pnv {

// `text` fit for a message on a terminal: control characters escaped as JSON
// escapes them (\n, \t, \u001b, ...), so that a hostile file or argument cannot
// retitle or clear the terminal, and cut after `limit` characters with "..."
// and the full length.
QString printable(QStringView text, qsizetype limit = 80);

} // namespace pnv
