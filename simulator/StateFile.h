#pragma once
// The simulator's state: the whole encoder configuration in a small text file
// of "key = value" lines, replaced atomically so that a crash at any instant
// leaves either the old or the new file.

#include "NetworkConfig.h"

#include <QString>
#include <optional>

namespace pnv::sim {

struct StateLoad {
    std::optional<tessalin::NetworkConfig> config;   // set on success
    bool missing = false;                            // the file does not exist
    QString error;                                   // why it could not be used
};

// A symbolic link is followed; a link to nothing, and anything that is not a
// regular file (a named pipe, a folder, a device), is an error, never opened
// for a blocking read.
StateLoad loadState(const QString &path);

// Writes a temporary file beside `path` (beside the file it links to, for a
// link), flushes it to disk, renames it over that file and syncs the folder.
// Returns an error text, empty on success.
QString saveState(const QString &path, const tessalin::NetworkConfig &config);
// Where saveState writes before renaming; a leftover is an interrupted save.
QString temporaryPath(const QString &path);

QString formatState(const tessalin::NetworkConfig &config);
// Parses the text of a state file; on failure returns nothing and sets `error`.
std::optional<tessalin::NetworkConfig> parseState(const QByteArray &text, QString &error);

// $XDG_STATE_HOME/pnv3400-sim/encoder.state, or under ~/.local/state.
QString defaultStatePath();

// A locally administered unicast MAC that stays the same for the same file.
tessalin::MacAddress macForStatePath(const QString &path);
std::optional<tessalin::MacAddress> parseMac(const QString &text);
QString formatMac(const tessalin::MacAddress &mac);
QString formatOctets(const tessalin::Octets4 &octets);

} // namespace pnv::sim
