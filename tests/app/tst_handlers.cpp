// The window's operations against a scripted device library: what each
// handler passes to the library and what the user then sees.

#include "AddressRules.h"
#include "ErrorBoxSpy.h"
#include "PendingLedger.h"
#include "SealedNetwork.h"
#include "WindowFixture.h"

#include <QProcess>
#include <QScopeGuard>
#include <QStatusBar>

#include <QtTest>

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

using pnv::test::ScriptedLibrary;
using pnv::test::WindowFixture;

namespace {

// Puts octet texts straight into the four fields, as pasting does; a fifth
// piece goes into the last field with its dot.
void pasteOctets(jIPEdit *address, const QString &dotted)
{
    const QStringList pieces = dotted.split(QLatin1Char('.'));
    for (int i = 0; i < 4; ++i)
        address->field(i)->setText(i < 3 ? pieces.value(i) : pieces.mid(3).join(QLatin1Char('.')));
}

void fillConfiguration(WindowFixture &f, const QString &ip, const QString &port, const QString &gateway,
                       const QString &mask)
{
    pasteOctets(f.address("jIPE_SourceIP"), ip);
    f.edit("Edit_SourcePort")->setText(port);
    pasteOctets(f.address("jIPE_Gateway"), gateway);
    pasteOctets(f.address("jIPE_SubnetMask"), mask);
}

} // namespace

class TestHandlers final : public QObject {
    Q_OBJECT
private slots:
    void init()
    {
        ScriptedLibrary::reset();
        QFile::remove(pnv::road::PendingLedger::defaultPath());
    }
    // Every library call of every case showed the wait cursor, and none stays.
    void cleanup()
    {
        QCOMPARE(ScriptedLibrary::instance().callsWithoutWaitCursor, QStringList());
        QVERIFY(!QGuiApplication::overrideCursor());
    }

    void creationTakesTheReferenceAndSetsInitialTexts();
    void connectReportsItsResult_data();
    void connectReportsItsResult();
    void connectPassesAddressModeAndPort();
    void connectFailureIsDiagnosed_data();
    void connectFailureIsDiagnosed();
    void connectTipNamesTheNicAsDoctorDoes();
    void connectWithUnconvertiblePortShowsTheErrorBox_data();
    void connectWithUnconvertiblePortShowsTheErrorBox();
    void addressMirrorFollowsEditing();
    void disconnectAlwaysReportsWithoutTrailingBlank();
    void readReportsStatusWithoutTouchingFields_data();
    void readReportsStatusWithoutTouchingFields();
    void readDecodesTheReply_data();
    void readDecodesTheReply();
    void writeSendsTheRequest();
    void writeReportsItsStatus_data();
    void writeReportsItsStatus();
    void writeStopsAtTheFirstUnconvertibleField_data();
    void writeStopsAtTheFirstUnconvertibleField();
    void writeRefusesAndSendsNothing_data();
    void writeRefusesAndSendsNothing();
    void writeSendsWhatAnAssignmentWrapped();
    void exitDisconnectsClosesLibraryThenWindow();
    void closeBoxReleasesTheReferenceOnly();
};

void TestHandlers::creationTakesTheReferenceAndSetsInitialTexts()
{
    WindowFixture f;
    QVERIFY(f.window->holdsLibraryReference());
    QVERIFY(ScriptedLibrary::instance().calls.isEmpty());
    QCOMPARE(QByteArray(f.window->serverAddress().data(), 16), QByteArray("172.16.30.1\0\0\0\0\0", 16));
    QCOMPARE(f.edit("ME_SourceMAC")->text(), QStringLiteral("00 - 00 - 00 - 00 - 00 - 00"));
    QCOMPARE(f.edit("Edit_SourcePort")->text(), QStringLiteral("0"));
    for (const char *name : {"jIPE_SourceIP", "jIPE_SubnetMask", "jIPE_Gateway"})
        QCOMPARE(f.address(name)->Text(), QStringLiteral("0.0.0.0"));
    QCOMPARE(f.address("jIPE_ServerIP")->Text(), QStringLiteral("172.16.30.1"));
    QCOMPARE(f.edit("Edit_ServerPort")->text(), QStringLiteral("3001"));
    QCOMPARE(f.window->statusLine(), QString());
}

void TestHandlers::connectReportsItsResult_data()
{
    QTest::addColumn<int>("result");
    QTest::addColumn<QString>("status");
    QTest::addColumn<bool>("diagnosed");   // a failure: the status bar says why it may have failed
    const QString previous = QStringLiteral(" Server Disconnect");
    QTest::newRow("0") << 0 << " Server Connect Success " << false;
    QTest::newRow("1") << 1 << " Server Disconnect " << true;
    QTest::newRow("2") << 2 << " Server Connect Time-Out" << true;
    QTest::newRow("3") << 3 << " Server Connect Receive Error " << true;
    QTest::newRow("4") << 4 << " Server Connect Verify Error" << true;
    QTest::newRow("5") << 5 << " Server already Connect" << false;
    QTest::newRow("6 leaves the previous text") << 6 << previous << false;
    QTest::newRow("255 leaves the previous text") << 255 << previous << false;
    QTest::newRow("256 is success by its low byte") << 256 << " Server Connect Success " << false;
    QTest::newRow("0x105 is already connected") << 0x105 << " Server already Connect" << false;
    QTest::newRow("-1 has low byte 255") << -1 << previous << false;
}

void TestHandlers::connectReportsItsResult()
{
    QFETCH(int, result);
    QFETCH(QString, status);
    QFETCH(bool, diagnosed);
    WindowFixture f;
    ScriptedLibrary::instance().connectResult = 1;
    f.button("BT_SConnect")->click();      // a failure before: its diagnosis goes or is replaced
    f.button("BT_SDisconnect")->click();   // a known previous status text
    ScriptedLibrary::instance().connectResult = result;
    f.button("BT_SConnect")->click();
    QCOMPARE(f.window->statusLine(), status);
    QCOMPARE(!f.window->connectDiagnosis().isEmpty(), diagnosed);
}

void TestHandlers::connectFailureIsDiagnosed_data()
{
    QTest::addColumn<QString>("address");   // as pasted into the four fields
    QTest::addColumn<QString>("diagnosis");
    QTest::newRow("unusable address") << "0.0.0.0"
                                      << "No encoder can be at that address: ip 0.0.0.0 is in 0.0.0.0/8 (this network).";
    QTest::newRow("not an address") << "172.16..1"
                                    << "\"172.16..1\" is not an address of four numbers from 0 to 255; the encoder was "
                                       "not reached.";
    QTest::newRow("next to this computer, silent")
        << "127.0.0.1"
        << "lo holds 127.0.0.1/8, which contains 127.0.0.1, but the encoder did not answer at port 3001.\n"
           "Check its power and cable, and that it still has this address and port.\n"
           "This computer reaches 127.0.0.1 through lo, from 127.0.0.1.";
    QTest::newRow("no interface next to it")
        << "198.51.100.7"
        << "No interface of this computer has an address in a subnet containing 198.51.100.7.\n"
           "To give the interface cabled to the encoder one, run as root, with its name for DEVICE:\n"
           "ip addr add 198.51.100.8/24 dev DEVICE\n"
           "This computer has no route to 198.51.100.7 (Network is unreachable).";
}

void TestHandlers::connectFailureIsDiagnosed()
{
    QFETCH(QString, address);
    QFETCH(QString, diagnosis);
    // Only the kernel's route lookup runs, no packet is sent; the answers
    // are those of the sealed namespace, whose one device is loopback.
    PNV_REQUIRE_SEALED_NETWORK();
    WindowFixture f;
    pasteOctets(f.address("jIPE_ServerIP"), address);
    ScriptedLibrary::instance().connectResult = 1;
    f.button("BT_SConnect")->click();
    QCOMPARE(f.window->statusLine(), QStringLiteral(" Server Disconnect "));
    QCOMPARE(f.window->connectDiagnosis(), diagnosis);
    auto *bar = f.control<QStatusBar>("SB_Main");
    QCOMPARE(bar->toolTip(), diagnosis);
    QCOMPARE(bar->accessibleDescription(), diagnosis);
    QCOMPARE(f.control("StatusLine")->accessibleDescription(), diagnosis);
}

// A laptop whose NIC cabled to the encoder is up without IPv4: the window's
// tool tip names it as `pnv3400ctl doctor` does. The laptop is a network
// namespace of this case's own (this thread alone, inside the sealed one),
// with a veth pair for its NICs.
void TestHandlers::connectTipNamesTheNicAsDoctorDoes()
{
    PNV_REQUIRE_SEALED_NETWORK();
    const int sealed = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    QVERIFY(sealed >= 0);
    const auto back = qScopeGuard([sealed] {
        ::setns(sealed, CLONE_NEWNET);
        ::close(sealed);
    });
    QVERIFY2(::unshare(CLONE_NEWNET) == 0, "no network namespace of the test's own");
    // Processes started from this thread are in it too.
    for (const QString &command : {QStringLiteral("link set lo up"), QStringLiteral("link add pnvw0 type veth peer name pnvw1"),
                                   QStringLiteral("link set pnvw0 up"), QStringLiteral("link set pnvw1 up")})
        QVERIFY2(QProcess::execute(QStringLiteral("ip"), command.split(u' ')) == 0, qPrintable(command));
    QProcess doctor;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("TESSALIN_TIMEOUT_MS"), QStringLiteral("200"));
    doctor.setProcessEnvironment(environment);
    doctor.start(qEnvironmentVariable("PNV_BIN_DIR") + QStringLiteral("/pnv3400ctl"), {QStringLiteral("doctor")});
    QVERIFY(doctor.waitForFinished(30000));
    const QStringList said = QString::fromUtf8(doctor.readAllStandardOutput()).split(u'\n');
    const QString suggestion = said.value(said.indexOf(QRegularExpression(QStringLiteral(".*would give it an address.*"))) + 1).trimmed();
    QVERIFY2(suggestion.startsWith(QLatin1String("ip addr add 172.16.30.2/16 dev pnvw")), qPrintable(said.join(u'\n')));

    WindowFixture f;
    pasteOctets(f.address("jIPE_ServerIP"), QStringLiteral("172.16.30.1"));
    ScriptedLibrary::instance().connectResult = 1;
    f.button("BT_SConnect")->click();
    QVERIFY2(f.window->connectDiagnosis().split(u'\n').contains(suggestion), qPrintable(f.window->connectDiagnosis()));
}

void TestHandlers::connectPassesAddressModeAndPort()
{
    WindowFixture f;
    f.edit("Edit_ServerPort")->setText(QStringLiteral("-5"));   // as pasted: converts, is passed as it is
    f.button("BT_SConnect")->click();
    const auto &lib = ScriptedLibrary::instance();
    QCOMPARE(lib.calls, QStringList{"S_Connect"});
    QCOMPARE(lib.connectAddress, QByteArray("172.16.30.1\0\0\0\0\0", 16));
    QCOMPARE(lib.connectMode, 14);
    QCOMPARE(lib.connectPort, -5);
}

void TestHandlers::connectWithUnconvertiblePortShowsTheErrorBox_data()
{
    QTest::addColumn<QString>("port");
    QTest::addColumn<QString>("message");
    QTest::newRow("empty") << "" << "'' is not a valid integer value.";
    QTest::newRow("pasted letter") << "30a1" << "'30a1' is not a valid integer value.";
}

void TestHandlers::connectWithUnconvertiblePortShowsTheErrorBox()
{
    QFETCH(QString, port);
    QFETCH(QString, message);
    WindowFixture f;
    f.button("BT_SDisconnect")->click();
    ScriptedLibrary::instance().calls.clear();
    {
        pnv::test::ErrorBoxSpy pasting;   // the range rule reports a pasted letter already
        f.edit("Edit_ServerPort")->setText(port);
    }
    pnv::test::ErrorBoxSpy box;
    f.button("BT_SConnect")->click();
    QCOMPARE(box.texts, QStringList{message});
    QCOMPARE(box.titles, QStringList{QCoreApplication::applicationName()});
    QVERIFY(ScriptedLibrary::instance().calls.isEmpty());
    QCOMPARE(f.window->statusLine(), QStringLiteral(" Server Disconnect"));
}

void TestHandlers::addressMirrorFollowsEditing()
{
    WindowFixture f;
    jIPEdit *address = f.address("jIPE_ServerIP");
    address->setText(QStringLiteral("172.16.30.12"));
    QCOMPARE(QByteArray(f.window->serverAddress().data(), 16), QByteArray("172.16.30.12\0\0\0\0", 16));
    address->setText(QStringLiteral("172.16.30.1"));
    QCOMPARE(QByteArray(f.window->serverAddress().data(), 16), QByteArray("172.16.30.1\0\0\0\0\0", 16));

    // Texts the program could assign are longer than 15 characters; the
    // copy keeps its terminating NUL.
    address->setText(QStringLiteral("-255.-255.-255.-255"));
    QCOMPARE(QByteArray(f.window->serverAddress().data(), 16), QByteArray("-255.-255.-255.\0", 16));
}

void TestHandlers::disconnectAlwaysReportsWithoutTrailingBlank()
{
    WindowFixture f;
    f.button("BT_SDisconnect")->click();
    f.button("BT_SDisconnect")->click();
    QCOMPARE(ScriptedLibrary::instance().calls, (QStringList{"S_Disconnect", "S_Disconnect"}));
    QCOMPARE(f.window->statusLine(), QStringLiteral(" Server Disconnect"));
}

void TestHandlers::readReportsStatusWithoutTouchingFields_data()
{
    QTest::addColumn<int>("count");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("status");
    QTest::newRow("status 0") << 1 << 0 << " Configuration Reading Success ";
    QTest::newRow("status 1") << 1 << 1 << " Server Disconnect ";
    QTest::newRow("status 2") << 1 << 2 << " Configuration Reading Time-Out";
    QTest::newRow("status 3") << 1 << 3 << " Configuration Reading Receive Error ";
    QTest::newRow("status 4") << 1 << 4 << " Configuration Reading Verify Error";
    QTest::newRow("status 5 clears the line") << 1 << 5 << "";
    QTest::newRow("status 7 clears the line") << 1 << 7 << "";
    QTest::newRow("count 0") << 0 << 0 << " Configuration Reading Receive Error ";
    QTest::newRow("count -1") << -1 << 0 << " Configuration Reading Receive Error ";
    QTest::newRow("count 25") << 25 << 0 << " Configuration Reading Receive Error ";
    QTest::newRow("count 2") << 2 << 0 << " Configuration Reading Receive Error ";
}

void TestHandlers::readReportsStatusWithoutTouchingFields()
{
    QFETCH(int, count);
    QFETCH(int, code);
    QFETCH(QString, status);
    WindowFixture f;
    f.button("BT_SDisconnect")->click();
    auto &lib = ScriptedLibrary::instance();
    lib.readCount = count;
    // A full reply in the buffer must not be decoded: only the count decides.
    lib.readBytes = QByteArray::fromHex("001A2B3C4D5E0A0102030BB9AC10000102BC0A0102FEFFFFFF00");
    lib.readBytes[0] = char(code);
    f.button("BT_ConfigRead")->click();
    QCOMPARE(lib.readCapacity, 500);
    QCOMPARE(f.window->statusLine(), status);
    QCOMPARE(f.edit("ME_SourceMAC")->text(), QStringLiteral("00 - 00 - 00 - 00 - 00 - 00"));
    QCOMPARE(f.address("jIPE_SourceIP")->Text(), QStringLiteral("0.0.0.0"));
    QCOMPARE(f.edit("Edit_SourcePort")->text(), QStringLiteral("0"));
}

void TestHandlers::readDecodesTheReply_data()
{
    QTest::addColumn<int>("count");
    QTest::newRow("26") << 26;
    QTest::newRow("500") << 500;
}

void TestHandlers::readDecodesTheReply()
{
    QFETCH(int, count);
    WindowFixture f;
    auto &lib = ScriptedLibrary::instance();
    lib.readCount = count;
    lib.readBytes = QByteArray::fromHex("0AFF2B3C4D5E" "0A010203" "FFFF" "AC100001" "02BC" "0A0102FE" "FFFFFF00")
        + QByteArray(474, char(0xEE));
    f.button("BT_ConfigRead")->click();
    QCOMPARE(f.window->statusLine(), QStringLiteral(" Configuration Reading Success "));
    QCOMPARE(f.edit("ME_SourceMAC")->text(), QStringLiteral("0A - FF - 2B - 3C - 4D - 5E"));
    QCOMPARE(f.address("jIPE_SourceIP")->Text(), QStringLiteral("10.1.2.3"));
    QCOMPARE(f.edit("Edit_SourcePort")->text(), QStringLiteral("65535"));
    QCOMPARE(f.address("jIPE_Gateway")->Text(), QStringLiteral("10.1.2.254"));
    QCOMPARE(f.address("jIPE_SubnetMask")->Text(), QStringLiteral("255.255.255.0"));
}

void TestHandlers::writeSendsTheRequest()
{
    WindowFixture f;
    f.address("jIPE_SourceIP")->setText(QStringLiteral("10.1.2.3"));
    f.edit("Edit_SourcePort")->setText(QStringLiteral("3001"));
    f.address("jIPE_Gateway")->setText(QStringLiteral("10.1.2.254"));
    f.address("jIPE_SubnetMask")->setText(QStringLiteral("255.255.255.0"));
    f.button("BT_ConfigWrite")->click();
    const auto &lib = ScriptedLibrary::instance();
    QCOMPARE(lib.calls, QStringList{"ConfigWrite"});
    QCOMPARE(lib.writtenBuffer.size(), 500);
    QCOMPARE(lib.writtenBuffer.left(20).toHex(' '),
             QByteArray("0a 01 02 03 0b b9 ac 10 00 01 02 bc 0a 01 02 fe ff ff ff 00"));
    QCOMPARE(lib.writtenBuffer.mid(20), QByteArray(480, '\0'));
    // Writing changes no field.
    QCOMPARE(f.address("jIPE_SourceIP")->Text(), QStringLiteral("10.1.2.3"));
}

void TestHandlers::writeReportsItsStatus_data()
{
    QTest::addColumn<int>("count");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("status");
    QTest::addColumn<bool>("mayHaveLanded");   // the answer was lost: the status bar's tool tip says so
    QTest::newRow("status 0") << 1 << 0 << " Configuration Change Success " << false;
    QTest::newRow("status 1") << 1 << 1 << " Server Disconnect " << true;
    QTest::newRow("status 2") << 1 << 2 << " Time-Out" << true;
    QTest::newRow("status 3") << 1 << 3 << " Receive Packet Error" << true;
    QTest::newRow("status 4") << 1 << 4 << " Configuration Change Verify Error" << false;
    QTest::newRow("status 5") << 1 << 5 << "" << false;
    QTest::newRow("status 7") << 1 << 7 << "" << false;
    QTest::newRow("count 0") << 0 << 0 << "" << true;
    QTest::newRow("count 26") << 26 << 0 << "" << true;
    QTest::newRow("count -1") << -1 << 0 << "" << true;
}

void TestHandlers::writeReportsItsStatus()
{
    QFETCH(int, count);
    QFETCH(int, code);
    QFETCH(QString, status);
    QFETCH(bool, mayHaveLanded);
    WindowFixture f;
    f.button("BT_SDisconnect")->click();
    fillConfiguration(f, QStringLiteral("10.1.2.3"), QStringLiteral("3001"), QStringLiteral("10.1.2.254"),
                      QStringLiteral("255.255.255.0"));
    auto &lib = ScriptedLibrary::instance();
    lib.writeCount = count;
    lib.writeStatus = std::uint8_t(code);
    f.button("BT_ConfigWrite")->click();
    QCOMPARE(f.window->statusLine(), status);
    // The status line keeps its text; the tool tip and the accessible
    // description tell what a lost answer leaves open.
    const QString note = f.window->connectDiagnosis();
    QCOMPARE(note.contains(QLatin1String("may have reached the encoder")), mayHaveLanded);
    QCOMPARE(note.contains(QLatin1String("Configuration Read")), mayHaveLanded);
    // A new address that the encoder took, or may have taken: where to connect once it has restarted.
    const bool taken = mayHaveLanded || (count == 1 && code == 0);
    QCOMPARE(note.contains(QLatin1String("Restart the encoder, then connect to 10.1.2.3:3001.")), taken);
    QCOMPARE(f.window->statusBar()->accessibleDescription(), note);
    // The next write that is answered and moves nothing takes the note away.
    fillConfiguration(f, QStringLiteral("172.16.30.1"), QStringLiteral("3001"), QStringLiteral("0.0.0.0"),
                      QStringLiteral("255.255.0.0"));
    lib.writeCount = 1;
    lib.writeStatus = 0;
    f.button("BT_ConfigWrite")->click();
    QVERIFY(f.window->connectDiagnosis().isEmpty());
}

void TestHandlers::writeStopsAtTheFirstUnconvertibleField_data()
{
    QTest::addColumn<QString>("ip");
    QTest::addColumn<QString>("port");
    QTest::addColumn<QString>("gateway");
    QTest::addColumn<QString>("mask");
    QTest::addColumn<QString>("message");
    // Octet texts are put into the fields as pasting would, unconverted.
    QTest::newRow("empty port first") << "1.x.3.4" << "" << "1.2.3.4" << "1.2.3.4" << "'' is not a valid integer value.";
    QTest::newRow("empty gateway octet") << "1.2.3.4" << "1" << "10.1..254" << "1.2.3.4"
                                         << "'' is not a valid integer value.";
    QTest::newRow("pasted letter in the mask") << "1.2.3.4" << "1" << "1.2.3.4" << "255.2a5.0.0"
                                               << "'2a5' is not a valid integer value.";
    QTest::newRow("IP before gateway") << "1.2.3.q" << "1" << "1..3.4" << "1.2.3.4"
                                       << "'q' is not a valid integer value.";
    QTest::newRow("pasted dot refused") << "1.2.3.4.5" << "1" << "1.2.3.4" << "1.2.3.4"
                                        << "'4.5' is not a valid integer value.";
}

void TestHandlers::writeStopsAtTheFirstUnconvertibleField()
{
    QFETCH(QString, ip);
    QFETCH(QString, port);
    QFETCH(QString, gateway);
    QFETCH(QString, mask);
    QFETCH(QString, message);
    WindowFixture f;
    f.button("BT_SDisconnect")->click();
    fillConfiguration(f, ip, port, gateway, mask);
    ScriptedLibrary::instance().calls.clear();
    pnv::test::ErrorBoxSpy box;
    f.button("BT_ConfigWrite")->click();
    QCOMPARE(box.texts, QStringList{message});
    QVERIFY(!ScriptedLibrary::instance().calls.contains("ConfigWrite"));
    QCOMPARE(f.window->statusLine(), QString());   // cleared before the conversions
}

void TestHandlers::writeRefusesAndSendsNothing_data()
{
    QTest::addColumn<QString>("ip");
    QTest::addColumn<QString>("port");
    QTest::addColumn<QString>("gateway");
    QTest::addColumn<QString>("mask");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("taken");   // "in use": something answers at the ip; "promised": to another encoder
    const QString mask24 = QStringLiteral("255.255.255.0");
    // Numbers outside 0 to 255 still in a field, as pasting leaves them.
    QTest::newRow("octet above 255") << "300.0.0.50" << "3001" << "0.0.0.0" << mask24
                                     << "Encoder IP, first octet: 300 is not a number from 0 to 255." << "";
    QTest::newRow("one line per octet, in field order")
        << "10.0.0.50" << "3001" << "10.0.0.999" << "255.255.255.-1"
        << "Default gateWay, fourth octet: 999 is not a number from 0 to 255.\n"
           "Subnet mask, fourth octet: -1 is not a number from 0 to 255." << "";
    QTest::newRow("port whose low 16 bits differ") << "10.0.0.50" << "-3" << "0.0.0.0" << mask24
                                                   << "Encoder Port: -3 is not a number from 0 to 65535." << "";
    // The address rules of pnv3400ctl.
    QTest::newRow("gateway outside the subnet")
        << "10.0.0.50" << "3001" << "192.168.1.100" << mask24
        << "Nothing was written:\ngateway 192.168.1.100 is outside 10.0.0.0/24, the subnet of ip 10.0.0.50." << "";
    QTest::newRow("gateway 255.255.255.255") << "10.0.0.50" << "3001" << "255.255.255.255" << mask24
                                             << "Nothing was written:\ngateway 255.255.255.255 is in 240.0.0.0/4 (reserved)." << "";
    QTest::newRow("multicast ip") << "224.1.2.3" << "3001" << "0.0.0.0" << mask24
                                  << "Nothing was written:\nip 224.1.2.3 is in 224.0.0.0/4 (multicast)." << "";
    QTest::newRow("mask not contiguous") << "10.0.0.50" << "3001" << "0.0.0.0" << "255.0.255.0"
                                         << "Nothing was written:\nmask 255.0.255.0 is not contiguous." << "";
    QTest::newRow("the window's initial values, each rule on its line")
        << "0.0.0.0" << "0" << "0.0.0.0" << "0.0.0.0"
        << "Nothing was written:\nmask 0.0.0.0 is a /0; the prefix must be 1 to 30.\n"
           "ip 0.0.0.0 is in 0.0.0.0/8 (this network).\nport 0 is outside 1 to 65535." << "";
    // Two devices on one address: refused in the same box, as pnv3400ctl write refuses it.
    QTest::newRow("an Encoder IP in use") << "10.0.0.60" << "3001" << "0.0.0.0" << mask24
                                          << "Nothing was written:\nEncoder IP 10.0.0.60 is in use: it accepts "
                                             "connections on port 3001." << "in use";
    QTest::newRow("an Encoder IP promised to another encoder")
        << "10.0.0.61" << "3001" << "0.0.0.0" << mask24
        << "Nothing was written:\nEncoder IP 10.0.0.61 is promised to the encoder 02:00:00:00:00:07 (written "
           "2026-12-08 08:00:00 UTC while it answered at 172.16.30.1:3001); it takes that address when it restarts."
        << "promised";
}

void TestHandlers::writeRefusesAndSendsNothing()
{
    QFETCH(QString, ip);
    QFETCH(QString, port);
    QFETCH(QString, gateway);
    QFETCH(QString, mask);
    QFETCH(QString, message);
    QFETCH(QString, taken);
    WindowFixture f;
    if (taken == QLatin1String("in use"))
        f.inUse << *pnv::net::parseDotted(ip);
    if (taken == QLatin1String("promised"))
        QCOMPARE(pnv::road::PendingLedger().promise({QStringLiteral("02:00:00:00:00:07"), QStringLiteral("172.16.30.1:3001"),
                                                     *pnv::net::parseDotted(ip), 3001,
                                                     QDateTime(QDate(2026, 12, 8), QTime(8, 0), Qt::UTC)}),
                 QString());
    fillConfiguration(f, ip, port, gateway, mask);
    pnv::test::ErrorBoxSpy box;
    f.button("BT_ConfigWrite")->click();
    QCOMPARE(box.texts, QStringList{message});
    QCOMPARE(box.titles, QStringList{QCoreApplication::applicationName()});
    QVERIFY(ScriptedLibrary::instance().calls.isEmpty());
    QCOMPARE(f.window->statusLine(), QString());
}

// Only the user's own typing is held back; the wrap of an assigned text is
// what the field shows from the start.
void TestHandlers::writeSendsWhatAnAssignmentWrapped()
{
    WindowFixture f;
    f.address("jIPE_SourceIP")->setText(QStringLiteral("300.0.0.50"));
    f.edit("Edit_SourcePort")->setText(QStringLiteral("3001"));
    f.address("jIPE_SubnetMask")->setText(QStringLiteral("255.255.255.0"));
    QCOMPARE(f.address("jIPE_SourceIP")->Text(), QStringLiteral("44.0.0.50"));
    f.button("BT_ConfigWrite")->click();
    QCOMPARE(ScriptedLibrary::instance().calls, QStringList{"ConfigWrite"});
    QCOMPARE(ScriptedLibrary::instance().writtenBuffer.left(4).toHex(' '), QByteArray("2c 00 00 32"));
}

void TestHandlers::exitDisconnectsClosesLibraryThenWindow()
{
    WindowFixture f;
    f.window->show();
    QVERIFY(QTest::qWaitForWindowExposed(f.window.get()));
    f.button("BT_Exit")->click();
    QCOMPARE(ScriptedLibrary::instance().calls, (QStringList{"S_Disconnect", "DLLClose"}));
    QVERIFY(!f.window->isVisible());
    QVERIFY(!f.window->holdsLibraryReference());
}

void TestHandlers::closeBoxReleasesTheReferenceOnly()
{
    WindowFixture f;
    f.window->show();
    QVERIFY(QTest::qWaitForWindowExposed(f.window.get()));
    QVERIFY(f.window->close());
    QVERIFY(ScriptedLibrary::instance().calls.isEmpty());
    QVERIFY(!f.window->holdsLibraryReference());
}

PNV_WINDOW_TEST_MAIN(TestHandlers)

#include "tst_handlers.moc"
