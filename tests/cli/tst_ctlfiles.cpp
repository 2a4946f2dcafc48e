// The saved configuration file and the apply plan: what is accepted, and
// that every refusal names the file and the line.

#include "TextFiles.h"

#include <QTest>

using namespace pnv::ctl;

class CtlFilesTest final : public QObject {
    Q_OBJECT

private slots:
    void configFile_data();
    void configFile();
    void savedFileReadsBack();
    void plan_data();
    void plan();
};

void CtlFilesTest::configFile_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QStringList>("errors");
    QTest::addColumn<QString>("ip");   // what the file gives for ip (null: not given)

    QTest::newRow("whole file with comments")
        << QByteArray("# saved\n\nmac = 02:00:00:00:00:01\nip = 10.1.2.3\nport = 3001\ngateway = 10.1.2.254\n"
                      "mask = 255.255.255.0\n")
        << QStringList() << QStringLiteral("10.1.2.3");
    QTest::newRow("some keys only, CRLF") << QByteArray("gateway=10.1.2.254\r\n") << QStringList() << QString();
    QTest::newRow("unknown key") << QByteArray("ip = 10.1.2.3\nnetmask = 255.0.0.0\n")
                                 << QStringList{QStringLiteral("f.conf:2: unknown key \"netmask\"")}
                                 << QStringLiteral("10.1.2.3");
    QTest::newRow("duplicate key") << QByteArray("ip = 10.1.2.3\n\nip = 10.1.2.4\n")
                                   << QStringList{QStringLiteral("f.conf:3: duplicate key \"ip\" (first on line 1)")}
                                   << QStringLiteral("10.1.2.3");
    QTest::newRow("no equals sign") << QByteArray("# x\nip 10.1.2.3\n")
                                    << QStringList{QStringLiteral("f.conf:2: expected \"key = value\"")} << QString();
    QTest::newRow("value syntax")
        << QByteArray("mask = 255.255.255\nport = 70000\n")
        << QStringList{QStringLiteral("f.conf:1: mask \"255.255.255\" is not a dotted address of four octets 0 to 255"),
                       QStringLiteral("f.conf:2: port \"70000\" is not a number from 1 to 65535")}
        << QString();
    QTest::newRow("empty value") << QByteArray("ip =\n")
                                 << QStringList{QStringLiteral(
                                        "f.conf:1: ip \"\" is not a dotted address of four octets 0 to 255")}
                                 << QStringLiteral("");
    QTest::newRow("mac syntax") << QByteArray("mac = 02-00-00-00-00-01\n")
                                << QStringList{QStringLiteral(
                                       "f.conf:1: mac \"02-00-00-00-00-01\" is not six hexadecimal pairs joined by \":\"")}
                                << QString();
}

void CtlFilesTest::configFile()
{
    QFETCH(QByteArray, text);
    QFETCH(QStringList, errors);
    QFETCH(QString, ip);
    const ConfigFileContent content = parseConfigFile(text, QStringLiteral("f.conf"));
    QCOMPARE(content.errors, errors);
    QCOMPARE(content.fields.ip, ip);
    QCOMPARE(content.fields.ip.isNull(), ip.isNull());
}

void CtlFilesTest::savedFileReadsBack()
{
    const std::uint8_t reply[26] = {0x02, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E, 10, 1, 2, 3, 0x0B, 0xB9, 172, 16,
                                    0,    1,    0x02, 0xBC, 10,   1,    2, 254, 255, 255, 255, 0};
    const EncoderConfig config = EncoderConfig::fromReply(reply);
    const ConfigFileContent content = parseConfigFile(formatConfigFile(config, QStringLiteral("10.1.2.3:3001")),
                                                      QStringLiteral("saved.conf"));
    QCOMPARE(content.errors, QStringList());
    QCOMPARE(content.mac, QStringLiteral("02:1A:2B:3C:4D:5E"));
    const ParsedFields parsed = parseFields(content.fields);
    QCOMPARE(parsed.syntaxErrors, QStringList());
    // What load would send is byte for byte what the encoder held.
    QVERIFY(requestFor(parsed.config) == config.record);
}

void CtlFilesTest::plan_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<bool>("force");
    QTest::addColumn<QStringList>("errors");
    QTest::addColumn<int>("rows");

    const QByteArray header("encoder,ip,port,gateway,mask\n");
    QTest::newRow("two rows, empty cells keep fields")
        << header + "10.0.0.1,,,10.0.0.254,255.255.255.0\n10.0.0.2:4000,10.0.0.12,3001,,\n" << false << QStringList() << 2;
    QTest::newRow("CRLF and blanks around cells") << QByteArray("encoder, ip, port, gateway, mask\r\n 10.0.0.1 , , , , \r\n")
                                                  << false << QStringList() << 1;
    QTest::newRow("wrong header") << QByteArray("address,ip,port,gateway,mask\n10.0.0.1,,,,\n") << false
                                  << QStringList{QStringLiteral(
                                         "p.csv:1: the first line must be \"encoder,ip,port,gateway,mask\"")}
                                  << 0;
    QTest::newRow("no rows") << header << false << QStringList{QStringLiteral("p.csv:1: the plan has no rows")} << 0;
    QTest::newRow("cell count") << header + "10.0.0.1,,,\n" << false
                                << QStringList{QStringLiteral(
                                       "p.csv:2: expected 5 cells (encoder,ip,port,gateway,mask), found 4")}
                                << 0;
    QTest::newRow("bad encoder") << header + "10.0.0.1:0,,,,\n" << false
                                 << QStringList{QStringLiteral("p.csv:2: encoder \"10.0.0.1:0\" is not ADDRESS[:PORT]")}
                                 << 0;
    QTest::newRow("same encoder twice, default port written out")
        << header + "10.0.0.1,,,,\n10.0.0.1:3001,,,,\n" << false
        << QStringList{QStringLiteral("p.csv:3: encoder 10.0.0.1:3001 is already on line 2")} << 2;
    QTest::newRow("same new address twice")
        << header + "10.0.0.1,10.0.0.50,,,\n10.0.0.2,10.0.0.50,,,\n" << false
        << QStringList{QStringLiteral("p.csv:3: new ip 10.0.0.50 is already given on line 2")} << 2;
    QTest::newRow("rule refused") << header + "10.0.0.1,,,,255.0.255.0\n" << false
                                  << QStringList{QStringLiteral("p.csv:2: 10.0.0.1:3001: mask 255.0.255.0 is not contiguous")}
                                  << 1;
    QTest::newRow("rule skipped by --force") << header + "10.0.0.1,,,,255.0.255.0\n" << true << QStringList() << 1;
    QTest::newRow("syntax not skipped by --force")
        << header + "10.0.0.1,,65536,,\n" << true
        << QStringList{QStringLiteral("p.csv:2: port \"65536\" is not a number from 1 to 65535")} << 0;
}

void CtlFilesTest::plan()
{
    QFETCH(QByteArray, text);
    QFETCH(bool, force);
    QFETCH(QStringList, errors);
    QFETCH(int, rows);
    const Plan plan = parsePlan(text, QStringLiteral("p.csv"), force);
    QCOMPARE(plan.errors, errors);
    QCOMPARE(int(plan.rows.size()), rows);
    if (QByteArray(QTest::currentDataTag()).startsWith("two rows")) {
        QCOMPARE(plan.rows[0].change.ip.has_value(), false);
        QCOMPARE(plan.rows[1].encoder.port, 4000);
        QCOMPARE(plan.rows[1].fields.mask.isNull(), true);
    }
}

QTEST_GUILESS_MAIN(CtlFilesTest)
#include "tst_ctlfiles.moc"
