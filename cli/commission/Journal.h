#pragma once
// The journal of a commissioning: a CSV file a person can read and a
// spreadsheet can open, one line per event that touched an encoder, appended
// and synced to disk before the loop goes on, so that an interruption of any
// kind never gives one address twice. A line "writing" goes down before a
// write is sent and the outcome after it: a row whose write was cut short
// stays with its encoder.
//
// A row is bound to the encoder (MAC) of its first line; it is done once a
// line says applied or unchanged. The file also serves later as a plan source:
// it holds every encoder's MAC with the address it was given.

#include "CommissionPlan.h"

#include <QHash>
#include <QSet>
#include <QString>
#include <QStringList>

#include <optional>

namespace pnv::ctl {

struct JournalLine {
    QString mac;
    int row = 0;
    net::FieldTexts fields;   // as the plan gives them
    QString outcome;          // "writing", or a write's outcome
    QString message;
};

class Journal final {
public:
    static const QString kHeader;
    // Where the journal of PLAN goes unless one is named: PLAN's name with
    // ".journal.csv" for its ".csv".
    static QString besidePlan(const QString &planPath);

    Journal() = default;
    ~Journal();
    Journal(const Journal &) = delete;
    Journal &operator=(const Journal &) = delete;

    // Reads the journal, after taking the lock that keeps a second commission
    // from using it at once. With `create`, it is made (with its header) when
    // missing and kept open for append(). Errors name the file and the line.
    QList<Refusal> open(const QString &path, bool create);
    // Lines that do not fit `plan`: a row it does not have, another ip, a row
    // given to another MAC than the plan's. (A MAC the plan gives another row
    // is refused when that encoder answers, so the rest of the site goes on.)
    QList<Refusal> disagreements(const CommissionPlan &plan) const;

    std::optional<int> rowOf(const QString &mac) const;
    QString macOf(int row) const { return m_macOfRow.value(row); }
    bool done(int row) const { return m_done.contains(row); }
    QString lastOutcome(int row) const { return m_lastOutcome.value(row); }
    // The fields the row was last done with, as the plan gave them then.
    net::FieldTexts doneFields(int row) const { return m_doneFields.value(row); }

    // Appends one line stamped with the time and syncs it; an error text, empty on success.
    QString append(const JournalLine &line);

private:
    QList<Refusal> startFile(const QString &name);
    void take(int fileLine, const JournalLine &line, QList<Refusal> &errors);

    QString m_path;
    int m_fd = -1;
    QHash<QString, int> m_rowOfMac;
    QHash<int, QString> m_macOfRow;
    QHash<int, QString> m_ipOfRow;
    QHash<int, int> m_lineOfRow;
    QHash<int, QString> m_lastOutcome;
    QSet<int> m_done;
    QHash<int, net::FieldTexts> m_doneFields;
};

} // namespace pnv::ctl
