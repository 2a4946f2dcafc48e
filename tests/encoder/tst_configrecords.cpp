#include "AppError.h"
#include "ConfigRecords.h"

#include <QtTest>

using Bytes = QByteArray;

class TestConfigRecords final : public QObject {
    Q_OBJECT
private slots:
    void decodeReply_data();
    void decodeReply();
    void decodeIgnoresBytesAfterTheReply();
    void encodeRequest_data();
    void encodeRequest();
    void firstFailingConversionIsReported_data();
    void firstFailingConversionIsReported();
    void splitDottedText_data();
    void splitDottedText();
};

static Bytes hex(const char *text) { return QByteArray::fromHex(text); }

void TestConfigRecords::decodeReply_data()
{
    QTest::addColumn<Bytes>("reply");
    QTest::addColumn<QString>("mac");
    QTest::addColumn<QString>("ip");
    QTest::addColumn<QString>("port");
    QTest::addColumn<QString>("gateway");
    QTest::addColumn<QString>("mask");

    QTest::newRow("typical")
        << hex("001A2B3C4D5E" "0A010203" "0BB9" "AC100001" "02BC" "0A0102FE" "FFFFFF00")
        << "00 - 1A - 2B - 3C - 4D - 5E" << "10.1.2.3" << "3001" << "10.1.2.254" << "255.255.255.0";
    QTest::newRow("upper-case hex, two digits each")
        << hex("0AFF000102A0" "00000000" "FFFF" "00000000" "0000" "00000000" "00000000")
        << "0A - FF - 00 - 01 - 02 - A0" << "0.0.0.0" << "65535" << "0.0.0.0" << "0.0.0.0";
    // A little-endian port or a swapped field would show here.
    QTest::newRow("port is big-endian, fields in order")
        << hex("010203040506" "AC101E01" "0100" "01010101" "FFFF" "C0A80001" "FFFF0000")
        << "01 - 02 - 03 - 04 - 05 - 06" << "172.16.30.1" << "256" << "192.168.0.1" << "255.255.0.0";
}

void TestConfigRecords::decodeReply()
{
    QFETCH(Bytes, reply);
    QCOMPARE(reply.size(), TESSALIN_CONFIG_REPLY_SIZE);
    const auto decoded = pnv::TConfigReply::decode(reinterpret_cast<const std::uint8_t *>(reply.constData()));
    QTEST(decoded.mac, "mac");
    QCOMPARE(decoded.mac.size(), 27);
    QTEST(decoded.encoderIp, "ip");
    QTEST(decoded.port, "port");
    QTEST(decoded.gateway, "gateway");
    QTEST(decoded.subnetMask, "mask");
}

void TestConfigRecords::decodeIgnoresBytesAfterTheReply()
{
    QByteArray buffer(TESSALIN_CONFIG_BUFFER_SIZE, char(0x77));
    const QByteArray reply = hex("001A2B3C4D5E" "0A010203" "0BB9" "AC100001" "02BC" "0A0102FE" "FFFFFF00");
    buffer.replace(0, reply.size(), reply);
    const auto decoded = pnv::TConfigReply::decode(reinterpret_cast<const std::uint8_t *>(buffer.constData()));
    QCOMPARE(decoded.subnetMask, QStringLiteral("255.255.255.0"));
}

void TestConfigRecords::encodeRequest_data()
{
    QTest::addColumn<QString>("ip");
    QTest::addColumn<QString>("port");
    QTest::addColumn<QString>("gateway");
    QTest::addColumn<QString>("mask");
    QTest::addColumn<Bytes>("request");

    QTest::newRow("typical") << "10.1.2.3" << "3001" << "10.1.2.254" << "255.255.255.0"
                             << hex("0A010203" "0BB9" "AC100001" "02BC" "0A0102FE" "FFFFFF00");
    QTest::newRow("port 0") << "1.2.3.4" << "0" << "5.6.7.8" << "255.0.0.0"
                            << hex("01020304" "0000" "AC100001" "02BC" "05060708" "FF000000");
    QTest::newRow("port 65535") << "1.2.3.4" << "65535" << "5.6.7.8" << "255.0.0.0"
                                << hex("01020304" "FFFF" "AC100001" "02BC" "05060708" "FF000000");
    // Values are stored as their low bits: octets mod 256, the port mod 65536.
    QTest::newRow("octet above 255 wraps") << "300.999.256.1" << "65537" << "0.0.0.0" << "0.0.0.0"
                                           << hex("2CE70001" "0001" "AC100001" "02BC" "00000000" "00000000");
    QTest::newRow("negative octet keeps its low byte") << "-1.0.0.1" << "-1" << "0.0.0.0" << "0.0.0.0"
                                                       << hex("FF000001" "FFFF" "AC100001" "02BC" "00000000" "00000000");
    QTest::newRow("hex and blanks as the conversion allows") << " $A.x1.0X2. 3" << "$BB9" << "0.0.0.0" << "0.0.0.0"
                                                             << hex("0A010203" "0BB9" "AC100001" "02BC" "00000000" "00000000");
}

void TestConfigRecords::encodeRequest()
{
    QFETCH(QString, ip);
    QFETCH(QString, port);
    QFETCH(QString, gateway);
    QFETCH(QString, mask);
    QFETCH(Bytes, request);
    const auto bytes = pnv::TConfigRequest{ip, port, gateway, mask}.encode();
    QCOMPARE(QByteArray(reinterpret_cast<const char *>(bytes.data()), int(bytes.size())).toHex(' '),
             request.toHex(' '));
}

void TestConfigRecords::firstFailingConversionIsReported_data()
{
    QTest::addColumn<QString>("ip");
    QTest::addColumn<QString>("port");
    QTest::addColumn<QString>("gateway");
    QTest::addColumn<QString>("mask");
    QTest::addColumn<QString>("offending");

    QTest::newRow("port before the IP octets") << "1.x.3.4" << "" << "1.2.3.4" << "1.2.3.4" << "";
    QTest::newRow("IP before the gateway") << "1.x.3.4" << "1" << "1..3.4" << "1.2.3.4" << "x";
    QTest::newRow("gateway before the mask") << "1.2.3.4" << "1" << "10.1..254" << "a.2.3.4" << "";
    QTest::newRow("mask last") << "1.2.3.4" << "1" << "1.2.3.4" << "255.255.255.0 " << "0 ";
    QTest::newRow("octets in order within an address") << "1.2.b.a" << "1" << "1.2.3.4" << "1.2.3.4" << "b";
    QTest::newRow("pasted letter in the port") << "1.2.3.4" << "30O1" << "1.2.3.4" << "1.2.3.4" << "30O1";
    // A "." pasted into the last octet field makes a fifth piece; it stays
    // part of the fourth octet, which then fails instead of being dropped.
    QTest::newRow("surplus dot refused") << "1.2.3.4.5" << "1" << "1.2.3.4" << "1.2.3.4" << "4.5";
}

void TestConfigRecords::firstFailingConversionIsReported()
{
    QFETCH(QString, ip);
    QFETCH(QString, port);
    QFETCH(QString, gateway);
    QFETCH(QString, mask);
    QFETCH(QString, offending);
    try {
        pnv::TConfigRequest{ip, port, gateway, mask}.encode();
        QFAIL("an invalid field was encoded");
    } catch (const pnv::ConversionError &error) {
        QCOMPARE(error.offendingText(), offending);
    }
}

void TestConfigRecords::splitDottedText_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QStringList>("octets");
    QTest::newRow("four") << "172.16.30.1" << QStringList{"172", "16", "30", "1"};
    QTest::newRow("three dots only") << "..." << QStringList{"", "", "", ""};
    QTest::newRow("fewer pieces") << "10.1" << QStringList{"10", "1", "", ""};
    QTest::newRow("empty") << "" << QStringList{"", "", "", ""};
    QTest::newRow("extra dots stay in the last octet") << "1.2.3.4.5.6" << QStringList{"1", "2", "3", "4.5.6"};
    QTest::newRow("longer than fifteen characters") << "-255.-255.-255.-255" << QStringList{"-255", "-255", "-255", "-255"};
}

void TestConfigRecords::splitDottedText()
{
    QFETCH(QString, text);
    QFETCH(QStringList, octets);
    const auto split = pnv::splitDottedText(text);
    QCOMPARE(QStringList(split.begin(), split.end()), octets);
}

QTEST_APPLESS_MAIN(TestConfigRecords)
#include "tst_configrecords.moc"
