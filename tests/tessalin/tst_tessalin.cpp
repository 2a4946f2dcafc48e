// libtessalin.so against a real simulator process and against servers that
// misbehave on purpose: result codes, time bounds, buffer bounds, link loss.

#include "AddressText.h"
#include "Deadline.h"
#include "RogueEncoder.h"
#include "SealedNetwork.h"
#include "SimulatorProcess.h"
#include "tessalin.h"
#include "tessalin_codes.h"

#include <QElapsedTimer>
#include <QTcpServer>
#include <QtTest>

#include <array>
#include <cctype>
#include <csignal>
#include <cstring>
#include <future>
#include <vector>

using pnv::test::RogueEncoder;
using pnv::test::SimulatorProcess;

namespace {

// The library's call budget in these tests, and what a call may take on top
// of it on a loaded machine (or under the sanitizers) before we call it hung.
constexpr int kBudgetMs = 600;
constexpr int kSlackMs = 1500;

constexpr char kLoopback[16] = "127.0.0.1";
constexpr std::uint8_t kGuard = 0xA5;

// The request of the window's own example: 10.1.2.3:3001, gateway 10.1.2.254, mask 255.255.255.0.
const std::array<std::uint8_t, 20> kExampleRequest{0x0A, 0x01, 0x02, 0x03, 0x0B, 0xB9, 0xAC, 0x10, 0x00, 0x01,
                                                   0x02, 0xBC, 0x0A, 0x01, 0x02, 0xFE, 0xFF, 0xFF, 0xFF, 0x00};
// The factory configuration after the MAC.
const std::array<std::uint8_t, 20> kFactoryRecord{172, 16, 30, 1, 0x0B, 0xB9, 172, 16, 0, 1,
                                                  0x02, 0xBC, 172, 16, 0, 1, 255, 255, 0, 0};

std::vector<std::uint8_t> requestBuffer(const std::array<std::uint8_t, 20> &request, int capacity)
{
    std::vector<std::uint8_t> buffer(static_cast<std::size_t>(capacity), 0);
    std::copy(request.begin(), request.end(), buffer.begin());
    return buffer;
}

std::array<std::uint8_t, 20> withMask(std::array<std::uint8_t, 20> request, std::array<std::uint8_t, 4> mask)
{
    std::copy(mask.begin(), mask.end(), request.begin() + 16);
    return request;
}

int connectTo(quint16 port, int mode = TESSALIN_CONNECT_MODE) { return S_Connect(kLoopback, mode, port); }

// A port on 127.0.0.1 where nothing listens (the kernel gave it to us, then we let it go).
quint16 closedPort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return 0;
    const quint16 port = probe.serverPort();
    probe.close();
    return port;
}

int readStatus(std::vector<std::uint8_t> &buffer)
{
    const int n = ConfigRead(buffer.data(), static_cast<int32_t>(buffer.size()));
    return n == 1 ? buffer[0] : -n;
}

} // namespace

class TessalinTest final : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();

    void roundTripAgainstTheSimulator();
    void eachResultCodeFromARealCause_data();
    void eachResultCodeFromARealCause();
    void badArgumentsFailWithoutTraffic_data();
    void badArgumentsFailWithoutTraffic();
    void simulatorFaults_data();
    void simulatorFaults();
    void misbehavingServers_data();
    void misbehavingServers();
    void guardBytesAfterCapacity_data();
    void guardBytesAfterCapacity();
    void lostLinkIsNoticedAndReconnectWorks_data();
    void lostLinkIsNoticedAndReconnectWorks();
    void disconnectAndCloseAreHarmless();
    void factoryAddressInSealedNetwork();
    void addressTexts_data();
    void addressTexts();
    void budgetTexts_data();
    void budgetTexts();
    void callsFromManyThreadsKeepTheBound();
    void disconnectFromAnotherThreadEndsTheCall_data();
    void disconnectFromAnotherThreadEndsTheCall();
};

void TessalinTest::initTestCase()
{
    // A dead peer must never kill the caller: make SIGPIPE fatal again, whatever Qt did.
    std::signal(SIGPIPE, SIG_DFL);
    qputenv("TESSALIN_TIMEOUT_MS", QByteArray::number(kBudgetMs));
    QVERIFY(QFile::exists(SimulatorProcess::programPath()));
}

void TessalinTest::cleanup()
{
    S_Disconnect();
    qputenv("TESSALIN_TIMEOUT_MS", QByteArray::number(kBudgetMs));
}

void TessalinTest::roundTripAgainstTheSimulator()
{
    SimulatorProcess sim;
    QVERIFY2(sim.start(), qPrintable(sim.errorString()));

    // GIVEN a fresh encoder WHEN it is read THEN it holds the factory configuration
    QCOMPARE(connectTo(sim.port()), 0);
    std::vector<std::uint8_t> buffer(500, 0);
    QCOMPARE(ConfigRead(buffer.data(), 500), 26);
    const std::vector<std::uint8_t> mac(buffer.begin(), buffer.begin() + 6);
    QCOMPARE(mac[0] & 0x03, 0x02);   // locally administered unicast
    QVERIFY(std::equal(kFactoryRecord.begin(), kFactoryRecord.end(), buffer.begin() + 6));
    QVERIFY(std::all_of(buffer.begin() + 26, buffer.end(), [](std::uint8_t b) { return b == 0; }));

    // WHEN a new configuration is written THEN the status is 0 and it reads back
    auto request = requestBuffer(kExampleRequest, 500);
    QCOMPARE(ConfigWrite(request.data(), 500), 1);
    QCOMPARE(int(request[0]), 0);
    QVERIFY(std::all_of(request.begin() + 20, request.end(), [](std::uint8_t b) { return b == 0; }));
    std::fill(buffer.begin(), buffer.end(), 0);
    QCOMPARE(ConfigRead(buffer.data(), 500), 26);
    QVERIFY(std::equal(mac.begin(), mac.end(), buffer.begin()));
    QVERIFY(std::equal(kExampleRequest.begin(), kExampleRequest.end(), buffer.begin() + 6));

    // WHEN disconnected THEN reads report the link down; a reconnect sees the same record
    S_Disconnect();
    std::fill(buffer.begin(), buffer.end(), 0);
    QCOMPARE(readStatus(buffer), 1);
    QCOMPARE(connectTo(sim.port()), 0);
    QCOMPARE(ConfigRead(buffer.data(), 500), 26);
    QVERIFY(std::equal(kExampleRequest.begin(), kExampleRequest.end(), buffer.begin() + 6));
    S_Disconnect();
    DLLClose();
    QVERIFY(sim.log().contains("WRITE -> status 0"));
}

enum class Cause { Linked, Refused, SilentPeer, WrongSequence, RejectedWrite, WrongMode, SecondConnect };

void TessalinTest::eachResultCodeFromARealCause_data()
{
    QTest::addColumn<Cause>("cause");
    QTest::addColumn<int>("code");
    QTest::newRow("0 linked") << Cause::Linked << 0;
    QTest::newRow("1 connection refused") << Cause::Refused << 1;
    QTest::newRow("2 peer never answers the handshake") << Cause::SilentPeer << 2;
    QTest::newRow("3 reply with the wrong sequence number") << Cause::WrongSequence << 3;
    QTest::newRow("4 write of a non-contiguous mask") << Cause::RejectedWrite << 4;
    QTest::newRow("4 mode other than 14") << Cause::WrongMode << 4;
    QTest::newRow("5 connect while linked") << Cause::SecondConnect << 5;
}

void TessalinTest::eachResultCodeFromARealCause()
{
    QFETCH(Cause, cause);
    QFETCH(int, code);
    SimulatorProcess::Options options;
    if (cause == Cause::WrongSequence)
        options.faults << QStringLiteral("wrong-sequence");
    SimulatorProcess sim(options);
    QVERIFY2(sim.start(), qPrintable(sim.errorString()));
    std::vector<std::uint8_t> buffer(500, 0);

    int result = -1;
    switch (cause) {
    case Cause::Linked:
        result = connectTo(sim.port());
        break;
    case Cause::Refused:
        result = connectTo(closedPort());
        break;
    case Cause::SilentPeer: {
        RogueEncoder silent(RogueEncoder::Behaviour::Silent, false);
        result = connectTo(silent.port());
        break;
    }
    case Cause::WrongSequence:
        QCOMPARE(connectTo(sim.port()), 0);
        result = readStatus(buffer);
        break;
    case Cause::RejectedWrite: {
        QCOMPARE(connectTo(sim.port()), 0);
        auto request = requestBuffer(withMask(kExampleRequest, {255, 0, 255, 0}), 500);
        QCOMPARE(ConfigWrite(request.data(), 500), 1);
        result = request[0];
        // The link survives a refusal, and nothing was stored.
        QCOMPARE(ConfigRead(buffer.data(), 500), 26);
        QVERIFY(std::equal(kFactoryRecord.begin(), kFactoryRecord.end(), buffer.begin() + 6));
        break;
    }
    case Cause::WrongMode:
        result = connectTo(sim.port(), 13);
        QCOMPARE(readStatus(buffer), 1);   // no link was made
        break;
    case Cause::SecondConnect:
        QCOMPARE(connectTo(sim.port()), 0);
        result = connectTo(sim.port());
        QCOMPARE(ConfigRead(buffer.data(), 500), 26);   // the first link is still in use
        break;
    }
    QCOMPARE(result, code);
}

void TessalinTest::badArgumentsFailWithoutTraffic_data()
{
    QTest::addColumn<QByteArray>("address");   // exactly the 16 bytes handed over
    QTest::addColumn<int>("port");             // -2: the rogue listener's port
    const auto text = [](const char *s) {
        QByteArray bytes(s);
        bytes.resize(16, '\0');
        return bytes;
    };
    QTest::newRow("empty") << text("") << -2;
    QTest::newRow("three octets") << text("127.0.0") << -2;
    QTest::newRow("five octets") << text("127.0.0.1.1") << -2;
    QTest::newRow("octet 256") << text("127.0.0.256") << -2;
    QTest::newRow("four digits") << text("127.0.0.0001") << -2;
    QTest::newRow("trailing blank") << text("127.0.0.1 ") << -2;
    QTest::newRow("empty octet") << text("127..0.1") << -2;
    QTest::newRow("letters") << text("localhost") << -2;
    QTest::newRow("no NUL in 16 bytes") << QByteArray("127.000.000.0011", 16) << -2;
    QTest::newRow("0.0.0.0") << text("0.0.0.0") << -2;
    QTest::newRow("0.1.2.3, in 0.0.0.0/8") << text("0.1.2.3") << -2;
    QTest::newRow("broadcast") << text("255.255.255.255") << -2;
    QTest::newRow("multicast") << text("224.0.0.1") << -2;
    QTest::newRow("port 0") << text("127.0.0.1") << 0;
    QTest::newRow("port -1") << text("127.0.0.1") << -1;
    QTest::newRow("port 65536 + rogue port") << text("127.0.0.1") << 65536;
}

void TessalinTest::badArgumentsFailWithoutTraffic()
{
    QFETCH(QByteArray, address);
    QFETCH(int, port);
    // Were the refusal to fail, an address outside 127.0.0.0/8 would be tried for real.
    if (std::isdigit(static_cast<unsigned char>(address[0])) && !address.startsWith("127."))
        PNV_REQUIRE_SEALED_NETWORK();
    RogueEncoder rogue(RogueEncoder::Behaviour::Silent, true);
    // 65536 + p would be p if the library truncated the port instead of refusing it.
    const int effectivePort = port == -2 ? rogue.port() : port == 65536 ? 65536 + rogue.port() : port;
    // Put the text at the very end of an allocation so that reading past 16 bytes is caught by ASan.
    std::vector<char> exact(address.begin(), address.end());
    QCOMPARE(S_Connect(exact.data(), TESSALIN_CONNECT_MODE, effectivePort), 1);
    QCOMPARE(S_Connect(nullptr, TESSALIN_CONNECT_MODE, rogue.port()), 1);
    QCOMPARE(rogue.acceptedConnections(), 0);
    // The same listener does see a sound request: the zero above means something.
    std::vector<char> sound(16, '\0');
    std::strcpy(sound.data(), "127.0.0.1");
    QCOMPARE(S_Connect(sound.data(), TESSALIN_CONNECT_MODE, rogue.port()), 0);
    QCOMPARE(rogue.acceptedConnections(), 1);
}

enum class Operation { Read, Write };

void TessalinTest::simulatorFaults_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<Operation>("operation");
    QTest::addColumn<int>("code");
    QTest::addColumn<bool>("linkKept");
    QTest::newRow("no reply, read") << "no-reply" << Operation::Read << 2 << false;
    QTest::newRow("no reply, write") << "no-reply" << Operation::Write << 2 << false;
    QTest::newRow("reply later than the budget") << "delay:3000" << Operation::Read << 2 << false;
    QTest::newRow("reply within the budget") << "delay:100" << Operation::Read << 0 << true;
    QTest::newRow("reply cut after 6 bytes") << "cut:6" << Operation::Read << 2 << false;
    QTest::newRow("reply cut after the header") << "cut:12" << Operation::Write << 2 << false;
    QTest::newRow("closed mid-reply") << "close:6" << Operation::Read << 1 << false;
    QTest::newRow("closed before replying") << "close:0" << Operation::Write << 1 << false;
    QTest::newRow("corrupted checksum, read") << "bad-checksum" << Operation::Read << 3 << false;
    QTest::newRow("corrupted checksum, write") << "bad-checksum" << Operation::Write << 3 << false;
    QTest::newRow("wrong sequence, write") << "wrong-sequence" << Operation::Write << 3 << false;
    QTest::newRow("read status 2") << "read-status:2" << Operation::Read << 2 << true;
    QTest::newRow("read status 7") << "read-status:7" << Operation::Read << 7 << true;
    QTest::newRow("read status 255") << "read-status:255" << Operation::Read << 255 << true;
    QTest::newRow("write status 3") << "write-status:3" << Operation::Write << 3 << true;
    QTest::newRow("write status 9") << "write-status:9" << Operation::Write << 9 << true;
    QTest::newRow("write fails verification") << "verify-fail" << Operation::Write << 4 << true;
}

void TessalinTest::simulatorFaults()
{
    QFETCH(QString, fault);
    QFETCH(Operation, operation);
    QFETCH(int, code);
    QFETCH(bool, linkKept);
    SimulatorProcess::Options options;
    options.faults << fault;
    SimulatorProcess sim(options);
    QVERIFY2(sim.start(), qPrintable(sim.errorString()));
    QCOMPARE(connectTo(sim.port()), 0);

    std::vector<std::uint8_t> buffer = requestBuffer(kExampleRequest, 500);
    QElapsedTimer clock;
    clock.start();
    const int n = operation == Operation::Read ? ConfigRead(buffer.data(), 500) : ConfigWrite(buffer.data(), 500);
    const qint64 elapsed = clock.elapsed();
    QVERIFY2(elapsed < kBudgetMs + kSlackMs, qPrintable(QStringLiteral("took %1 ms").arg(elapsed)));
    if (code == 0 && operation == Operation::Read)
        QCOMPARE(n, 26);
    else {
        QCOMPARE(n, 1);
        QCOMPARE(int(buffer[0]), code);
    }

    // After a fault that leaves the stream out of step the link is gone, and a
    // new connect works at once, without S_Disconnect.
    std::vector<std::uint8_t> probe(500, 0);
    if (linkKept) {
        QCOMPARE(connectTo(sim.port()), 5);
    } else {
        QCOMPARE(readStatus(probe), 1);
        QCOMPARE(connectTo(sim.port()), 0);
    }
    if (fault == QLatin1String("verify-fail")) {
        QCOMPARE(ConfigRead(probe.data(), 500), 26);   // faults touch replies only, so this read is sound
        QVERIFY(std::equal(kFactoryRecord.begin(), kFactoryRecord.end(), probe.begin() + 6));
    }
}

void TessalinTest::misbehavingServers_data()
{
    QTest::addColumn<RogueEncoder::Behaviour>("behaviour");
    QTest::addColumn<bool>("duringRead");   // false: during the handshake
    QTest::addColumn<int>("code");
    using B = RogueEncoder::Behaviour;
    const struct {
        const char *name;
        B behaviour;
        int code;
    } rows[] = {
        {"silent", B::Silent, 2},
        {"a byte every 100 ms", B::Trickle, 2},
        {"endless garbage", B::EndlessGarbage, 3},
        {"endless frames out of sequence", B::EndlessFrames, 3},
        {"reset", B::Reset, 1},
        {"half-close", B::HalfClose, 1},
        {"length 65535", B::OversizedLength, 3},
        {"payload too long for its type", B::LongReply, 3},
        {"payload too short for its type", B::ShortReply, 3},
    };
    for (const auto &row : rows) {
        QTest::addRow("handshake: %s", row.name) << row.behaviour << false << row.code;
        QTest::addRow("read: %s", row.name) << row.behaviour << true << row.code;
    }
    QTest::addRow("handshake: not a PNV-3400") << B::WrongModel << false << 4;
}

void TessalinTest::misbehavingServers()
{
    QFETCH(RogueEncoder::Behaviour, behaviour);
    QFETCH(bool, duringRead);
    QFETCH(int, code);
    RogueEncoder rogue(behaviour, duringRead);

    QElapsedTimer clock;
    clock.start();
    int result = connectTo(rogue.port());
    std::vector<std::uint8_t> buffer(500, 0);
    if (duringRead) {
        QCOMPARE(result, 0);
        clock.restart();
        result = readStatus(buffer);
    }
    const qint64 elapsed = clock.elapsed();
    QCOMPARE(result, code);
    QVERIFY2(elapsed < kBudgetMs + kSlackMs, qPrintable(QStringLiteral("took %1 ms").arg(elapsed)));

    // Whatever happened, the link is gone and the next connect needs no S_Disconnect.
    QCOMPARE(readStatus(buffer), 1);
    SimulatorProcess sim;
    QVERIFY2(sim.start(), qPrintable(sim.errorString()));
    QCOMPARE(connectTo(sim.port()), 0);
}

enum class Scenario { ReadOk, ReadStatus, ReadUnlinked, ReadLongReply, WriteOk, WriteRejected, WriteUnlinked };

void TessalinTest::guardBytesAfterCapacity_data()
{
    QTest::addColumn<Scenario>("scenario");
    QTest::addColumn<int>("capacity");
    const struct {
        const char *name;
        Scenario scenario;
    } scenarios[] = {
        {"read", Scenario::ReadOk},
        {"read status 7", Scenario::ReadStatus},
        {"read unlinked", Scenario::ReadUnlinked},
        {"read of an overlong reply", Scenario::ReadLongReply},
        {"write", Scenario::WriteOk},
        {"write rejected", Scenario::WriteRejected},
        {"write unlinked", Scenario::WriteUnlinked},
    };
    for (const auto &s : scenarios)
        for (const int capacity : {500, 26, 20, 1})
            QTest::addRow("%s, capacity %d", s.name, capacity) << s.scenario << capacity;
}

void TessalinTest::guardBytesAfterCapacity()
{
    QFETCH(Scenario, scenario);
    QFETCH(int, capacity);
    const bool isRead = scenario == Scenario::ReadOk || scenario == Scenario::ReadStatus
                        || scenario == Scenario::ReadUnlinked || scenario == Scenario::ReadLongReply;
    constexpr int kGuardSize = 64;

    SimulatorProcess::Options options;
    if (scenario == Scenario::ReadStatus)
        options.faults << QStringLiteral("read-status:7");
    SimulatorProcess sim(options);
    std::unique_ptr<RogueEncoder> rogue;
    if (scenario == Scenario::ReadLongReply) {
        rogue = std::make_unique<RogueEncoder>(RogueEncoder::Behaviour::LongReply, true);
        QCOMPARE(connectTo(rogue->port()), 0);
    } else if (scenario != Scenario::ReadUnlinked && scenario != Scenario::WriteUnlinked) {
        QVERIFY2(sim.start(), qPrintable(sim.errorString()));
        QCOMPARE(connectTo(sim.port()), 0);
    }

    // The buffer as handed over: capacity bytes, then guard bytes the library must not touch.
    std::vector<std::uint8_t> memory(static_cast<std::size_t>(capacity + kGuardSize), kGuard);
    const auto request = scenario == Scenario::WriteRejected ? withMask(kExampleRequest, {0, 255, 255, 0})
                                                             : kExampleRequest;
    std::copy_n(request.begin(), std::min<std::size_t>(20, static_cast<std::size_t>(capacity)), memory.begin());
    const std::vector<std::uint8_t> before = memory;

    const int n = isRead ? ConfigRead(memory.data(), capacity) : ConfigWrite(memory.data(), capacity);
    QVERIFY(std::all_of(memory.begin() + capacity, memory.end(), [](std::uint8_t b) { return b == kGuard; }));

    const int needed = isRead ? 26 : 20;
    if (capacity < needed) {
        // Refused without traffic: count 0 and not one byte changed.
        QCOMPARE(n, 0);
        QVERIFY(memory == before);
        if (sim.process().state() == QProcess::Running)
            QVERIFY(!sim.log().contains("READ") && !sim.log().contains("WRITE"));
        return;
    }
    int expectedStatus = -1;
    switch (scenario) {
    case Scenario::ReadOk:
        QCOMPARE(n, 26);
        QVERIFY(std::equal(kFactoryRecord.begin(), kFactoryRecord.end(), memory.begin() + 6));
        QVERIFY(std::equal(memory.begin() + 26, memory.end(), before.begin() + 26));
        return;
    case Scenario::ReadStatus:
        expectedStatus = 7;
        break;
    case Scenario::ReadUnlinked:
    case Scenario::WriteUnlinked:
        expectedStatus = 1;
        break;
    case Scenario::ReadLongReply:
        expectedStatus = 3;
        break;
    case Scenario::WriteOk:
        expectedStatus = 0;
        break;
    case Scenario::WriteRejected:
        expectedStatus = 4;
        break;
    }
    QCOMPARE(n, 1);
    QCOMPARE(int(memory[0]), expectedStatus);
    QVERIFY(std::equal(memory.begin() + 1, memory.end(), before.begin() + 1));   // only byte 0 written
}

void TessalinTest::lostLinkIsNoticedAndReconnectWorks_data()
{
    QTest::addColumn<bool>("noticedByAnOperation");
    QTest::newRow("next read and write report the link down") << true;
    QTest::newRow("next connect links anew instead of 5") << false;
}

void TessalinTest::lostLinkIsNoticedAndReconnectWorks()
{
    QFETCH(bool, noticedByAnOperation);
    std::vector<std::uint8_t> buffer(500, 0);
    {
        SimulatorProcess first;
        QVERIFY2(first.start(), qPrintable(first.errorString()));
        QCOMPARE(connectTo(first.port()), 0);
        first.kill();   // the encoder loses power; the kernel closes its end
    }
    if (noticedByAnOperation) {
        QCOMPARE(readStatus(buffer), 1);
        auto request = requestBuffer(kExampleRequest, 500);
        QCOMPARE(ConfigWrite(request.data(), 500), 1);   // sends to a dead peer: no SIGPIPE
        QCOMPARE(int(request[0]), 1);
    }
    SimulatorProcess second;
    QVERIFY2(second.start(), qPrintable(second.errorString()));
    QCOMPARE(connectTo(second.port()), 0);
    QCOMPARE(ConfigRead(buffer.data(), 500), 26);
}

void TessalinTest::disconnectAndCloseAreHarmless()
{
    std::vector<std::uint8_t> buffer(500, 0);
    S_Disconnect();
    S_Disconnect();
    DLLClose();
    DLLClose();
    QCOMPARE(readStatus(buffer), 1);

    SimulatorProcess sim;
    QVERIFY2(sim.start(), qPrintable(sim.errorString()));
    QCOMPARE(connectTo(sim.port()), 0);
    DLLClose();
    DLLClose();
    QCOMPARE(readStatus(buffer), 1);
    QCOMPARE(connectTo(sim.port()), 0);   // the library stays usable after DLLClose
    S_Disconnect();
    S_Disconnect();
    QCOMPARE(readStatus(buffer), 1);
    QCOMPARE(connectTo(sim.port()), 0);
    // The encoder heard a goodbye for each link rather than a broken connection.
    QTRY_COMPARE(sim.log().count("BYE"), 2);
}

void TessalinTest::factoryAddressInSealedNetwork()
{
    PNV_REQUIRE_SEALED_NETWORK();
    SimulatorProcess::Options options;
    options.listen = QStringLiteral("172.16.30.1");
    options.port = -1;   // the stored, factory port
    SimulatorProcess sim(options);
    QVERIFY2(sim.start(), qPrintable(sim.errorString()));
    QCOMPARE(sim.port(), quint16(3001));
    const char address[16] = "172.16.30.1";
    QCOMPARE(S_Connect(address, TESSALIN_CONNECT_MODE, 3001), 0);
    std::vector<std::uint8_t> buffer(500, 0);
    QCOMPARE(ConfigRead(buffer.data(), 500), 26);
    QVERIFY(std::equal(kFactoryRecord.begin(), kFactoryRecord.end(), buffer.begin() + 6));
}

void TessalinTest::addressTexts_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<bool>("usable");
    QTest::newRow("loopback") << QByteArray("127.0.0.1") << true;
    QTest::newRow("factory address") << QByteArray("172.16.30.1") << true;
    QTest::newRow("leading zeros") << QByteArray("010.001.002.003") << true;
    QTest::newRow("first after 0.0.0.0/8") << QByteArray("1.0.0.0") << true;
    QTest::newRow("last below multicast") << QByteArray("223.255.255.255") << true;
    QTest::newRow("0.0.0.0") << QByteArray("0.0.0.0") << false;
    QTest::newRow("0.0.0.1") << QByteArray("0.0.0.1") << false;
    QTest::newRow("0.1.2.3") << QByteArray("0.1.2.3") << false;
    QTest::newRow("0.255.255.255") << QByteArray("0.255.255.255") << false;
    QTest::newRow("multicast") << QByteArray("224.0.0.0") << false;
    QTest::newRow("reserved") << QByteArray("240.0.0.1") << false;
    QTest::newRow("broadcast") << QByteArray("255.255.255.255") << false;
}

void TessalinTest::addressTexts()
{
    QFETCH(QByteArray, text);
    QFETCH(bool, usable);
    text.resize(TESSALIN_ADDRESS_BUFFER_SIZE, '\0');
    QCOMPARE(tessalin::parseEncoderAddress(text.constData()).has_value(), usable);
}

void TessalinTest::budgetTexts_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<int>("budgetMs");   // 3000: the text is ignored
    const struct {
        const char *text;
        int budget;
    } rows[] = {{"100", 100},   {"1", 1},          {"3000", 3000},  {"0042", 42},  {" 100", 3000},
                {"100 ", 3000}, {"\t100", 3000},   {"+100", 3000},  {"-5", 3000},  {"0", 3000},
                {"3001", 3000}, {"1e3", 3000},     {"0x10", 3000},  {"", 3000},    {"99999999999999999999", 3000}};
    for (const auto &row : rows)
        QTest::addRow("\"%s\"", row.text) << QByteArray(row.text) << row.budget;
}

void TessalinTest::budgetTexts()
{
    QFETCH(QByteArray, text);
    QFETCH(int, budgetMs);
    qputenv("TESSALIN_TIMEOUT_MS", text);
    QCOMPARE(int(tessalin::callBudget().count()), budgetMs);
}

void TessalinTest::callsFromManyThreadsKeepTheBound()
{
    // GIVEN an encoder that never answers the handshake, and eight threads connecting at once
    RogueEncoder silent(RogueEncoder::Behaviour::Silent, false);
    constexpr int kThreads = 8;
    std::vector<std::future<std::pair<int, qint64>>> calls;
    for (int i = 0; i < kThreads; ++i)
        calls.push_back(std::async(std::launch::async, [port = silent.port()] {
            QElapsedTimer clock;
            clock.start();
            const int code = connectTo(port);
            return std::make_pair(code, clock.elapsed());
        }));
    // THEN each gives up by its own deadline, counted from its own entry; waits do not add up
    for (auto &call : calls) {
        const auto [code, elapsed] = call.get();
        QCOMPARE(code, 2);
        QVERIFY2(elapsed < kBudgetMs + kSlackMs, qPrintable(QStringLiteral("took %1 ms").arg(elapsed)));
    }
}

enum class Ender { Disconnect, Close };

void TessalinTest::disconnectFromAnotherThreadEndsTheCall_data()
{
    QTest::addColumn<Ender>("ender");
    QTest::addColumn<bool>("duringRead");   // false: during the handshake
    QTest::newRow("S_Disconnect during S_Connect") << Ender::Disconnect << false;
    QTest::newRow("S_Disconnect during ConfigRead") << Ender::Disconnect << true;
    QTest::newRow("DLLClose during S_Connect") << Ender::Close << false;
    QTest::newRow("DLLClose during ConfigRead") << Ender::Close << true;
}

void TessalinTest::disconnectFromAnotherThreadEndsTheCall()
{
    QFETCH(Ender, ender);
    QFETCH(bool, duringRead);
    // The full budget, so that an ending by the deadline cannot pass for an ending by the disconnect.
    constexpr int kFullBudgetMs = 3000;
    qputenv("TESSALIN_TIMEOUT_MS", QByteArray::number(kFullBudgetMs));
    RogueEncoder silent(RogueEncoder::Behaviour::Silent, duringRead);
    if (duringRead)
        QCOMPARE(connectTo(silent.port()), 0);

    // GIVEN a call blocked on the silent encoder in another thread
    auto call = std::async(std::launch::async, [&] {
        std::vector<std::uint8_t> buffer(500, 0);
        return duringRead ? readStatus(buffer) : connectTo(silent.port());
    });
    const int requestsBefore = duringRead ? 2 : 1;   // the handshake, then the read
    QTRY_COMPARE_WITH_TIMEOUT(silent.requestsSeen(), requestsBefore, kFullBudgetMs / 2);

    // WHEN another thread ends the link
    QElapsedTimer clock;
    clock.start();
    ender == Ender::Disconnect ? S_Disconnect() : DLLClose();
    const qint64 endingTook = clock.elapsed();

    // THEN the ending does not wait, and the call returns 1 long before its deadline
    QVERIFY2(endingTook < kFullBudgetMs / 3, qPrintable(QStringLiteral("took %1 ms").arg(endingTook)));
    QVERIFY(call.wait_for(std::chrono::milliseconds(kFullBudgetMs / 2)) == std::future_status::ready);
    QCOMPARE(call.get(), 1);
    std::vector<std::uint8_t> buffer(500, 0);
    QCOMPARE(readStatus(buffer), 1);   // no link is left behind
}

QTEST_GUILESS_MAIN(TessalinTest)
#include "tst_tessalin.moc"
