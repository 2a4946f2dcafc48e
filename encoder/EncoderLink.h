#pragma once
// The only caller of the device library's five entry points. The window and
// pnv3400ctl both reach an encoder through this class (pnv3400ctl through the
// session above it), so that what one front end learns about an answer, the
// other knows too. It keeps no state of the link: that lives in the library.

#include "ConfigRecords.h"
#include "TessalinBinding.h"

#include <QString>

#include <array>
#include <cstdint>
#include <functional>

namespace pnv {

// A ConfigRead's answer: the count and the buffer as the library left it.
struct ReadAnswer {
    std::int32_t count = 0;
    std::array<std::uint8_t, TESSALIN_CONFIG_BUFFER_SIZE> buffer{};

    bool hasReply() const { return count >= TESSALIN_CONFIG_REPLY_SIZE; }
    bool hasStatus() const { return count == 1; }
    std::uint8_t status() const { return buffer[0]; }
};

// What a ConfigWrite's answer proves about the encoder.
enum class WriteAnswer {
    Acknowledged,   // status 0: the encoder took it (a read-back proves what it holds)
    Refused,        // the encoder's own status: 4 or a code the library does not know
    Lost,           // no outcome, or the link's own codes 1 to 3 after the request left: it may have been taken
    Hung,           // the Wine bridge's hang guard ended the call: what it did is not known
    NotSent,        // the Wine bridge never reached the DLL: nothing left this computer
};

struct WriteResult {
    std::int32_t count = 0;
    std::uint8_t status = 0;   // byte 0 of the buffer when count is 1
    // What the Wine bridge knew of the call beyond its result; None natively.
    TessalinLibrary::Failure::Kind bridge = TessalinLibrary::Failure::Kind::None;
    std::string bridgeText;

    bool hasStatus() const { return count == 1; }
    WriteAnswer answer() const;
};

class EncoderLink final {
public:
    // Told of every call: what was called, its result, and how long it took.
    using CallLog = std::function<void(const QString &call, std::int32_t result, double milliseconds)>;

    explicit EncoderLink(const TessalinApi &api) : m_api(api) {}

    void setCallLog(CallLog log) { m_log = std::move(log); }

    // The library's result as it came; callers look at its low 8 bits.
    std::int32_t connect(const char *address16, std::int32_t port);
    ReadAnswer read();
    WriteResult write(const ConfigRequestBytes &request);
    void disconnect();
    void closeLibrary();

private:
    template <typename Call>
    auto logged(const QString &what, Call call);

    const TessalinApi &m_api;
    CallLog m_log;
};

} // namespace pnv
