// The frame codec and record layouts that the library and the simulator share.

#include "NetworkConfig.h"
#include "WireFrame.h"

#include <QtTest>

using namespace tessalin;
using namespace tessalin::wire;

Q_DECLARE_METATYPE(FrameDecoder::State)

class WireFrameTest final : public QObject {
    Q_OBJECT

private slots:
    void crcMatchesTheStandardCheckValue();
    void framesSurviveAnySplitting_data();
    void framesSurviveAnySplitting();
    void damagedFramesAreRejected_data();
    void damagedFramesAreRejected();
    void decoderStopsAtTheEndOfAFrame();
    void recordLayouts();
};

void WireFrameTest::crcMatchesTheStandardCheckValue()
{
    const QByteArray text("123456789");
    QCOMPARE(crc32(reinterpret_cast<const std::uint8_t *>(text.constData()), 9), 0xCBF43926U);
    // Continuing a CRC over two pieces equals one pass over the whole.
    const auto *bytes = reinterpret_cast<const std::uint8_t *>(text.constData());
    QCOMPARE(crc32(bytes + 4, 5, crc32(bytes, 4)), 0xCBF43926U);
}

void WireFrameTest::framesSurviveAnySplitting_data()
{
    QTest::addColumn<int>("payloadSize");
    QTest::addColumn<int>("pieceSize");
    for (const int payload : {0, 1, 20, 27, 64})
        for (const int piece : {1, 5, 12, 1000})
            QTest::addRow("payload %d in pieces of %d", payload, piece) << payload << piece;
}

void WireFrameTest::framesSurviveAnySplitting()
{
    QFETCH(int, payloadSize);
    QFETCH(int, pieceSize);
    Frame sent{0x83, 0xBEEF, {}};
    for (int i = 0; i < payloadSize; ++i)
        sent.payload.push_back(static_cast<std::uint8_t>(i * 7 + 1));
    const auto bytes = encodeFrame(sent);
    QCOMPARE(bytes.size(), kHeaderSize + static_cast<std::size_t>(payloadSize));

    FrameDecoder decoder;
    std::size_t offset = 0;
    while (offset < bytes.size()) {
        QCOMPARE(decoder.state(), FrameDecoder::State::NeedMore);
        const std::size_t piece = std::min(bytes.size() - offset, static_cast<std::size_t>(pieceSize));
        QCOMPARE(decoder.feed(bytes.data() + offset, piece), piece);
        offset += piece;
    }
    QCOMPARE(decoder.state(), FrameDecoder::State::FrameReady);
    const Frame received = decoder.takeFrame();
    QCOMPARE(received.type, sent.type);
    QCOMPARE(received.sequence, sent.sequence);
    QVERIFY(received.payload == sent.payload);
    QCOMPARE(decoder.state(), FrameDecoder::State::NeedMore);
    QVERIFY(!decoder.inFrame());
}

void WireFrameTest::damagedFramesAreRejected_data()
{
    QTest::addColumn<int>("offset");
    QTest::addColumn<int>("value");
    QTest::addColumn<int>("bytesNeeded");   // how many bytes the decoder reads before it knows
    QTest::addColumn<FrameDecoder::State>("state");
    QTest::newRow("magic") << 0 << 0x51 << 12 << FrameDecoder::State::Malformed;
    QTest::newRow("version") << 2 << 2 << 12 << FrameDecoder::State::Malformed;
    QTest::newRow("length 65") << 7 << 65 << 12 << FrameDecoder::State::Malformed;
    QTest::newRow("length 65535") << 6 << 0xFF << 12 << FrameDecoder::State::Malformed;
    QTest::newRow("type") << 3 << 0x02 << 15 << FrameDecoder::State::BadChecksum;
    QTest::newRow("sequence") << 5 << 0x00 << 15 << FrameDecoder::State::BadChecksum;
    QTest::newRow("checksum") << 11 << 0x00 << 15 << FrameDecoder::State::BadChecksum;
    QTest::newRow("payload") << 14 << 0x00 << 15 << FrameDecoder::State::BadChecksum;
}

void WireFrameTest::damagedFramesAreRejected()
{
    QFETCH(int, offset);
    QFETCH(int, value);
    QFETCH(int, bytesNeeded);
    QFETCH(FrameDecoder::State, state);
    auto bytes = encodeFrame({0x81, 1, {0x00, 0x0D, 0x48}});
    QVERIFY(bytes[static_cast<std::size_t>(offset)] != value);
    bytes[static_cast<std::size_t>(offset)] = static_cast<std::uint8_t>(value);
    bytes.resize(200, 0x50);   // whatever follows must not be needed to decide

    FrameDecoder decoder;
    QCOMPARE(decoder.feed(bytes.data(), bytes.size()), static_cast<std::size_t>(bytesNeeded));
    QCOMPARE(decoder.state(), state);
    // Once out of step, the decoder takes nothing more.
    QCOMPARE(decoder.feed(bytes.data(), bytes.size()), std::size_t{0});
    QCOMPARE(decoder.state(), state);
}

void WireFrameTest::decoderStopsAtTheEndOfAFrame()
{
    auto stream = encodeFrame({0x02, 7, {}});
    const auto second = encodeFrame({0x03, 8, std::vector<std::uint8_t>(20, 0x42)});
    stream.insert(stream.end(), second.begin(), second.end());

    FrameDecoder decoder;
    const std::size_t taken = decoder.feed(stream.data(), stream.size());
    QCOMPARE(taken, kHeaderSize);
    QCOMPARE(decoder.takeFrame().sequence, std::uint16_t{7});
    QCOMPARE(decoder.feed(stream.data() + taken, stream.size() - taken), second.size());
    const Frame frame = decoder.takeFrame();
    QCOMPARE(frame.sequence, std::uint16_t{8});
    QCOMPARE(frame.payload.size(), std::size_t{20});
}

void WireFrameTest::recordLayouts()
{
    const NetworkConfig factory = NetworkConfig::factory({0x02, 0x0A, 0x0B, 0x0C, 0x0D, 0xFF});
    const std::array<std::uint8_t, 26> expected{0x02, 0x0A, 0x0B, 0x0C, 0x0D, 0xFF, 172, 16, 30, 1, 0x0B, 0xB9, 172,
                                                16,   0,    1,    0x02, 0xBC, 172,  16, 0,  1,  255,  255,  0,  0};
    QVERIFY(factory.replyBytes() == expected);

    NetworkConfig changed = factory;
    const std::array<std::uint8_t, 20> request{10, 1, 2, 3, 0xFF, 0xFE, 1, 2, 3, 4, 0x12, 0x34, 10, 1, 2, 254, 255, 255, 255, 0};
    changed.assignRequest(request.data());
    QVERIFY(changed.requestBytes() == request);
    QCOMPARE(changed.port, std::uint16_t{0xFFFE});
    QCOMPARE(changed.auxPort, std::uint16_t{0x1234});
    QVERIFY(changed.mac == factory.mac);
    QVERIFY(changed != factory);
}

QTEST_GUILESS_MAIN(WireFrameTest)
#include "tst_wireframe.moc"
