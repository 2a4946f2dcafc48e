#pragma once
// The plan of a site's commissioning: one row per encoder to be given its
// address, columns ip, port, gateway and mask (apply's, without encoder: every
// encoder answers at the factory address) and an optional mac, which gives a
// row to one encoder. Checked whole before the first encoder is touched.

#include "AddressRules.h"
#include "Results.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <vector>

namespace pnv::ctl {

struct CommissionRow {
    int number = 0;   // 1 for the first row after the header: what the journal and the messages call it
    int line = 0;     // where it starts in the file
    net::FieldTexts fields;
    net::PlannedConfig change;
    QString mac;   // "02:1A:2B:3C:4D:5E"; empty: the next encoder without a row of its own
};

struct CommissionPlan {
    std::vector<CommissionRow> rows;
    bool hasMacColumn = false;
    QList<Refusal> errors;   // each with the file and line; a plan with any is refused whole

    // The row whose mac is `mac`, or null.
    const CommissionRow *rowForMac(const QString &mac) const;
};

constexpr int kCommissionRowLimit = 100000;

// What every encoder holds fresh from the factory, at `factoryAddress`:
// port 3001, mask 255.255.0.0, gateway 172.16.0.1.
net::PlannedConfig factoryConfig(std::uint32_t factoryAddress);

// Refuses what apply refuses (syntax, the address rules, two rows with one
// ip), a mac given twice or not a MAC, a row without an ip, and a row whose
// ip is `factoryAddress`, where every encoder still to come answers, and a
// row the factory values it leaves in place (an empty gateway or mask) make
// unusable: one whose new subnet does not hold the factory gateway.
CommissionPlan parseCommissionPlan(const QByteArray &text, const QString &fileName, std::uint32_t factoryAddress);

// The message at a line of a file.
Refusal placed(const QString &fileName, int line, const QString &message);
// A MAC as the encoder's reply shows it, upper case; empty when `text` is none.
QString normalMac(const QString &text);

} // namespace pnv::ctl
