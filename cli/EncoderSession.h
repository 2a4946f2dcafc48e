#pragma once
// One encoder, reached through the device library's entry points, with every
// call optionally logged (entry point, result, duration) for --verbose.

#include "AddressRules.h"
#include "ConfigRecords.h"
#include "TessalinBinding.h"

#include <QJsonObject>
#include <QString>

#include <array>
#include <cstdint>
#include <optional>

namespace pnv::ctl {

// What an encoder holds, as its configuration reply gives it.
struct EncoderConfig {
    std::array<std::uint8_t, 6> mac{};
    std::uint32_t ip = 0;
    std::uint16_t port = 0;
    std::uint32_t gateway = 0;
    std::uint32_t mask = 0;
    // Reply bytes 6 to 25: the request layout, auxiliary address included, so
    // "already holds it" compares everything a write would send.
    pnv::ConfigRequestBytes record{};

    static EncoderConfig fromReply(const std::uint8_t *reply26);
    net::PlannedConfig planned() const;
    QString macText() const;   // 00:1A:2B:3C:4D:5E
    // mac, ip, port, gateway, mask; numbers as JSON numbers.
    QJsonObject toJson() const;
};

// The request a complete configuration gives, with the fixed auxiliary address.
pnv::ConfigRequestBytes requestFor(const net::PlannedConfig &complete);

// "link down (code 1)", "time-out (code 2)", ...
QString describeCode(int code);

struct EncoderAddress {
    QString host;
    std::uint16_t port = 3001;
    QString text() const { return QStringLiteral("%1:%2").arg(host).arg(port); }
};
// ADDRESS[:PORT]; nothing on a syntax error.
std::optional<EncoderAddress> parseEncoderAddress(const QString &text);

class EncoderSession final {
public:
    EncoderSession(const pnv::TessalinApi &api, EncoderAddress encoder, bool verbose);
    ~EncoderSession();
    EncoderSession(const EncoderSession &) = delete;
    EncoderSession &operator=(const EncoderSession &) = delete;

    int connect();   // the result code's low 8 bits

    struct ReadResult {
        std::optional<EncoderConfig> config;
        int code = 0;   // status or result code when there is no config
    };
    ReadResult read();

    // The status byte, or nothing when the library reported no outcome.
    std::optional<int> write(const pnv::ConfigRequestBytes &request);

    void disconnect();

private:
    template <typename Call>
    auto logged(const QString &what, Call call);

    const pnv::TessalinApi &m_api;
    EncoderAddress m_encoder;
    bool m_verbose = false;
    bool m_connected = false;
};

} // namespace pnv::ctl
