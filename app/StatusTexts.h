#pragma once
// The status line texts of the link and configuration operations, by result
// code. Every text starts with one blank; trailing blanks are part of them.
// A code without a text leaves the status line as the operation found it.

#include <QString>
#include <array>
#include <cstdint>
#include <optional>

namespace pnv {

template <std::size_t N>
using StatusTable = std::array<const char *, N>;

inline constexpr StatusTable<6> kConnectStatus{
    " Server Connect Success ",
    " Server Disconnect ",
    " Server Connect Time-Out",
    " Server Connect Receive Error ",
    " Server Connect Verify Error",
    " Server already Connect",
};

inline constexpr StatusTable<5> kReadStatus{
    " Configuration Reading Success ",
    " Server Disconnect ",
    " Configuration Reading Time-Out",
    " Configuration Reading Receive Error ",
    " Configuration Reading Verify Error",
};

inline constexpr StatusTable<5> kWriteStatus{
    " Configuration Change Success ",
    " Server Disconnect ",
    " Time-Out",
    " Receive Packet Error",
    " Configuration Change Verify Error",
};

inline constexpr const char *kDisconnectStatus = " Server Disconnect";

// Beside the status line, after a Configuration Write whose answer was lost:
// the encoder may hold the new configuration, and only a read can tell.
inline constexpr const char *kWriteAnswerLostNote =
    "The write may have reached the encoder: its answer was lost. After connecting again, a Configuration Read "
    "shows what the encoder holds.";

template <std::size_t N>
std::optional<QString> statusText(const StatusTable<N> &table, std::uint8_t code)
{
    if (code >= N)
        return std::nullopt;
    return QString::fromLatin1(table[code]);
}

} // namespace pnv
