#pragma once
// One link to one encoder, over EncoderLink: connect, read the configuration
// as numbers, write a request, disconnect. With `verbose`, every call is told
// on standard error (entry point, result, duration).

#include "EncoderAddress.h"
#include "EncoderConfig.h"
#include "EncoderLink.h"

#include <QString>

#include <optional>

namespace pnv::road {

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

    pnv::WriteResult write(const pnv::ConfigRequestBytes &request);

    void disconnect();
    const EncoderAddress &encoder() const { return m_encoder; }

private:
    pnv::EncoderLink m_link;
    EncoderAddress m_encoder;
    bool m_verbose = false;
    bool m_connected = false;
};

} // namespace pnv::road
