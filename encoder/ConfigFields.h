#pragma once
// The five fields of an encoder's network configuration, each defined once:
// where it sits in the records the library exchanges, what kind of value it
// is, the rule a new value must meet, and the one key that names it on the
// command line, in JSON, in saved files and plans, and its key in the
// simulator's state file. Everything else (the records, the JSON objects, the
// options, the window's captions) is derived from this table or checked
// against it.

#include "tessalin_codes.h"

#include <array>
#include <cstddef>
#include <cstdint>

namespace pnv {

enum class ConfigField { Mac, Ip, Port, Gateway, Mask };

enum class FieldKind { Mac, Address, Port };

struct FieldDefinition {
    ConfigField field;
    const char *key;            // CLI option (--KEY), JSON key, config-file and plan key
    const char *stateKey;       // key of the simulator's state file
    const char *caption;        // what the window calls it (its accessible name)
    FieldKind kind;
    std::size_t replyOffset;    // first byte in TConfigReply
    int requestOffset;          // first byte in TConfigRequest; -1: never written
    const char *rule;           // what a new value must be, as a person reads it
};

// In record order; the MAC is read, never written.
inline constexpr std::array<FieldDefinition, 5> kConfigFields{{
    {ConfigField::Mac, "mac", "mac", "MAC Address", FieldKind::Mac, 0, -1, "read only"},
    {ConfigField::Ip, "ip", "address", "Encoder IP", FieldKind::Address, 6, 0,
     "a unicast address inside its own subnet, not its network or broadcast address"},
    {ConfigField::Port, "port", "port", "Encoder Port", FieldKind::Port, 10, 4, "1 to 65535"},
    {ConfigField::Gateway, "gateway", "gateway", "Default gateWay", FieldKind::Address, 18, 12,
     "0.0.0.0 (none), or a unicast address inside the encoder's subnet other than its own"},
    {ConfigField::Mask, "mask", "mask", "Subnet mask", FieldKind::Address, 22, 16,
     "contiguous, from /1 to /30"},
}};

// The auxiliary address and port that every request carries, whatever the
// encoder reported for them.
inline constexpr std::size_t kAuxiliaryRequestOffset = 6;
inline constexpr std::array<std::uint8_t, 4> kAuxiliaryAddress{172, 16, 0, 1};
inline constexpr std::size_t kAuxiliaryPortRequestOffset = 10;
inline constexpr std::uint16_t kAuxiliaryPort = 700;

constexpr const FieldDefinition &fieldDefinition(ConfigField field)
{
    return kConfigFields[static_cast<std::size_t>(field)];
}

// The fields a write sets, in the order the rules and the records list them.
inline constexpr std::array<ConfigField, 4> kWritableFields{ConfigField::Ip, ConfigField::Port, ConfigField::Gateway,
                                                            ConfigField::Mask};

// Big-endian numbers at a record offset: addresses as four octets in written
// order, ports as 16 bits.
constexpr std::uint32_t addressAt(const std::uint8_t *bytes, std::size_t offset)
{
    return std::uint32_t{bytes[offset]} << 24 | std::uint32_t{bytes[offset + 1]} << 16
           | std::uint32_t{bytes[offset + 2]} << 8 | std::uint32_t{bytes[offset + 3]};
}
constexpr std::uint16_t portAt(const std::uint8_t *bytes, std::size_t offset)
{
    return static_cast<std::uint16_t>(bytes[offset] << 8 | bytes[offset + 1]);
}
constexpr void putAddress(std::uint8_t *bytes, std::size_t offset, std::uint32_t address)
{
    for (std::size_t i = 0; i < 4; ++i)
        bytes[offset + i] = static_cast<std::uint8_t>(address >> (24 - 8 * i));
}
constexpr void putPort(std::uint8_t *bytes, std::size_t offset, std::uint16_t port)
{
    bytes[offset] = static_cast<std::uint8_t>(port >> 8);
    bytes[offset + 1] = static_cast<std::uint8_t>(port & 0xFF);
}

// The request's layout is the reply's without the MAC: checked once, here.
static_assert(TESSALIN_CONFIG_REPLY_SIZE - TESSALIN_CONFIG_REQUEST_SIZE == 6);
static_assert(fieldDefinition(ConfigField::Mac).replyOffset == 0);
static_assert(fieldDefinition(ConfigField::Ip).replyOffset == 6 + fieldDefinition(ConfigField::Ip).requestOffset);
static_assert(fieldDefinition(ConfigField::Port).replyOffset == 6 + fieldDefinition(ConfigField::Port).requestOffset);
static_assert(fieldDefinition(ConfigField::Gateway).replyOffset
              == 6 + fieldDefinition(ConfigField::Gateway).requestOffset);
static_assert(fieldDefinition(ConfigField::Mask).replyOffset == 6 + fieldDefinition(ConfigField::Mask).requestOffset);
static_assert(fieldDefinition(ConfigField::Mask).requestOffset + 4 == TESSALIN_CONFIG_REQUEST_SIZE);

} // namespace pnv
