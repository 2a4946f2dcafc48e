#pragma once
// Text from outside (files, arguments, an encoder's replies) made fit to be
// shown in a message.

#include <QString>
#include <QStringView>

namespace pnv {

// `text` fit for a message on a terminal: the backslash and control
// characters escaped as JSON escapes them (\\, \n, \t, \u001b, ...), so that a
// hostile file or argument cannot retitle or clear the terminal and a name
// holding a backslash and "n" never reads as one holding a line break; cut
// after `limit` characters with "..." and the full length.
QString printable(QStringView text, qsizetype limit = 80);

// A file name as a shell would take it back, the way the core utilities
// quote names in messages: as it is when it holds nothing a shell or a reader
// could misread, else in single quotes ('it'\''s', control characters as
// $'\n' outside them); cut after `limit` characters as printable() cuts.
QString quotedName(QStringView name, qsizetype limit = 1024);

} // namespace pnv
