#pragma once
// The one reader of plans, for apply, check and commission: CSV whose first
// line names its columns, in any order and whatever their case; a byte order
// mark and CRLF line ends are taken as they come, and a quoted cell never
// spans lines (a quote left open is a mistake to name at its line, not a
// reason to read the rows after it as one cell). Every plan is refused with
// the same words for the same fault.

#include "Results.h"

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QStringList>

#include <cstddef>
#include <vector>

namespace pnv::ctl {

struct PlanColumns {
    QStringList required;   // in the order the messages name them
    QStringList optional;
};

struct PlanRecord {
    int line = 0;
    QHash<QString, QString> cells;   // by column name; a column not in the file or an empty cell is absent

    // The cell of `column`; a null string when empty or absent.
    QString cell(const QString &column) const { return cells.value(column); }
};

struct PlanTable {
    std::vector<PlanRecord> records;   // the rows after the header
    QList<Refusal> errors;             // of the shape (header, cells, quotes), each with the file and its line
    int lastLine = 1;                  // where the last record starts
    QStringList columns;               // as the header names them, in its order
};

// Reads `text` by `columns`; at most `rowLimit` rows. A header that is not
// right is the one error reported: no row is read by it.
PlanTable readPlanTable(const QByteArray &text, const QString &fileName, const PlanColumns &columns, std::size_t rowLimit);

// The names of a plan's header when `text` starts with one (the first line
// that is not blank, without '=' and naming a known column first); empty
// otherwise. check tells an apply plan from a commissioning one by it.
QStringList planHeaderNames(const QByteArray &text);

} // namespace pnv::ctl
