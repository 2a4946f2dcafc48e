#pragma once
// One encoder, reached through the device library's entry points, with every
// call optionally logged (entry point, result, duration) for --verbose.

#include "EncoderAddress.h"
#include "EncoderConfig.h"
#include "TessalinBinding.h"

#include <QString>

#include <optional>

namespace pnv::ctl {

// "link down (code 1)", "time-out (code 2)", ...
QString describeCode(int code);

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
