// Measures libtessalin.so against a local pnv3400-sim on loopback: connect
// (with the handshake), read, write (each write is a state save with fsync),
// and how long a call really takes when the peer never answers, with the
// default bound of 3 s.

#include "SimulatorProcess.h"
#include "tessalin.h"
#include "tessalin_codes.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTcpServer>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <vector>

namespace {

constexpr char kLoopback[16] = "127.0.0.1";

void report(const char *what, std::vector<double> micros)
{
    std::sort(micros.begin(), micros.end());
    const auto at = [&](double q) { return micros[static_cast<std::size_t>(q * static_cast<double>(micros.size() - 1))]; };
    std::printf("%-28s n=%-5zu median %8.1f us   p90 %8.1f us   p99 %8.1f us   max %8.1f us\n", what, micros.size(),
                at(0.5), at(0.9), at(0.99), micros.back());
}

std::vector<double> timeRepeatedly(int count, const std::function<bool()> &call)
{
    std::vector<double> micros;
    QElapsedTimer clock;
    for (int i = 0; i < count; ++i) {
        clock.start();
        if (!call()) {
            std::fprintf(stderr, "call %d failed\n", i);
            break;
        }
        micros.push_back(static_cast<double>(clock.nsecsElapsed()) / 1000.0);
    }
    return micros;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (qEnvironmentVariableIsEmpty("PNV_BIN_DIR"))
        qputenv("PNV_BIN_DIR", PNV_DEFAULT_BIN_DIR);
    qunsetenv("TESSALIN_TIMEOUT_MS");

    pnv::test::SimulatorProcess sim;
    if (!sim.start()) {
        std::fprintf(stderr, "%s\n", qPrintable(sim.errorString()));
        return 1;
    }
    const int port = sim.port();

    report("S_Connect + S_Disconnect", timeRepeatedly(300, [&] {
               const bool linked = S_Connect(kLoopback, TESSALIN_CONNECT_MODE, port) == 0;
               S_Disconnect();
               return linked;
           }));

    if (S_Connect(kLoopback, TESSALIN_CONNECT_MODE, port) != 0)
        return 1;
    std::vector<std::uint8_t> buffer(500, 0);
    report("ConfigRead", timeRepeatedly(2000, [&] { return ConfigRead(buffer.data(), 500) == 26; }));

    const std::uint8_t request[20] = {10, 1, 2, 3, 0x0B, 0xB9, 172, 16, 0, 1, 2, 188, 10, 1, 2, 254, 255, 255, 255, 0};
    report("ConfigWrite (saved, fsync)", timeRepeatedly(200, [&] {
               std::copy(std::begin(request), std::end(request), buffer.begin());
               return ConfigWrite(buffer.data(), 500) == 1 && buffer[0] == 0;
           }));
    S_Disconnect();

    // The bound as a caller meets it: a peer that accepts and never answers.
    QTcpServer silent;
    silent.listen(QHostAddress::LocalHost, 0);
    report("S_Connect to a silent peer", timeRepeatedly(2, [&] {
               return S_Connect(kLoopback, TESSALIN_CONNECT_MODE, silent.serverPort()) == 2;
           }));
    DLLClose();
    return 0;
}
