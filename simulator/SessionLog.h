#pragma once
// The sessions' log lines ("pnv3400.sim.session"): one line per connection
// event and per request, local time in milliseconds first, then the peer and
// what happened, written whole with one write(2) on stderr.
//
// Qt's message pattern made the line the dearest part of a request after the
// checksum, so the line is put together here: the date and time are formatted
// once a second, the time zone read once. QT_LOGGING_RULES silences the lines
// as for any category; with QT_MESSAGE_PATTERN set they go through Qt's
// handler, so that the variable keeps its meaning.

#include <QByteArray>
#include <QLoggingCategory>
#include <QStringView>

namespace pnv::sim {

Q_DECLARE_LOGGING_CATEGORY(sessionLog)

// An info line "PEER WHAT DETAIL" (DETAIL appended to WHAT as it is).
void logSessionLine(const QByteArray &peer, QStringView what, QStringView detail = {});

} // namespace pnv::sim
