#pragma once
// Addresses promised but not yet taken. An encoder given a new address or
// port keeps answering at its old one until it restarts; until then the
// wire cannot tell that the new address is taken, and a second write could
// give it to another encoder. This ledger, on this computer, remembers each
// such write (MAC, where the encoder answered, the address and port given,
// when) until a read shows that encoder at it, or shows it no longer holds
// it. Every write from our programs asks it first. Writes made from other
// computers are out of its reach.
//
// One file, pending.csv in $XDG_STATE_HOME/pnv3400 (~/.local/state/pnv3400),
// replaced whole under one lock (pending.lock) and synced, file and folder,
// as the commissioning journal is.

#include <QDateTime>
#include <QString>

#include <cstdint>
#include <optional>
#include <vector>

namespace pnv::road {

struct PendingEntry {
    QString mac;           // 00:1A:2B:3C:4D:5E
    QString answeredAt;    // ADDRESS:PORT where it answered when written
    std::uint32_t ip = 0;  // the address and port it was given
    std::uint16_t port = 0;
    QDateTime written;     // UTC

    // "10.1.2.3:3002"
    QString promisedText() const;
};

class PendingLedger final {
public:
    // $XDG_STATE_HOME/pnv3400/pending.csv, or ~/.local/state/pnv3400/pending.csv.
    static QString defaultPath();
    explicit PendingLedger(QString path = defaultPath()) : m_path(std::move(path)) {}

    const QString &path() const { return m_path; }

    // Every entry; an error text when the ledger exists but cannot be read.
    std::vector<PendingEntry> entries(QString *error = nullptr) const;
    // The entry that promises `ip` to another MAC than `mac`, if any.
    std::optional<PendingEntry> promisedToAnother(std::uint32_t ip, const QString &mac, QString *error = nullptr) const;

    // What a read of `mac` showed, reached at `reachedIp`:`reachedPort` and
    // holding `heldIp`:`heldPort`: its entry goes once it answers where it was
    // promised, or holds something else. Costs one stat when there is no ledger.
    QString seen(const QString &mac, std::uint32_t reachedIp, std::uint16_t reachedPort, std::uint32_t heldIp,
                 std::uint16_t heldPort);
    // Records a promise, replacing the MAC's earlier one. Error text, empty on success.
    QString promise(const PendingEntry &entry);
    // Forgets the MAC's entry; `found` tells whether there was one.
    QString forget(const QString &mac, bool *found = nullptr);

private:
    // Reads, lets `change` edit the entries, and writes them back when it
    // returns true, all under the exclusive lock.
    template <typename Change>
    QString update(Change change);

    QString m_path;
};

} // namespace pnv::road
