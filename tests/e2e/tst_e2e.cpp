// A technician's session, end to end: the window with its defaults, our
// device library over a real socket, and the simulator at 172.16.30.1:3001.

#include "ErrorBoxSpy.h"
#include "SealedNetwork.h"
#include "SimulatorProcess.h"
#include "WindowFixture.h"

#include <QElapsedTimer>
#include <QtTest>

using pnv::test::SimulatorProcess;
using pnv::test::WindowFixture;

class TestEndToEnd final : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void connectReadEditWriteAndReadBack();
    void silentEncoderTimesOutWithinTheBound();
    void unreachableEncoderReportsDisconnect();

private:
    std::unique_ptr<pnv::TessalinLibrary> m_library;
};

namespace {

SimulatorProcess::Options factoryEncoder(QStringList faults = {})
{
    SimulatorProcess::Options options;
    options.listen = QStringLiteral("172.16.30.1");
    options.port = 3001;
    options.faults = std::move(faults);
    options.extraArguments = {QStringLiteral("--mac"), QStringLiteral("02:1a:2b:3c:4d:5e")};
    return options;
}

void typeInto(QLineEdit *field, const QString &text)
{
    field->setFocus(Qt::MouseFocusReason);
    field->selectAll();
    QTest::keyClicks(field, text);
}

} // namespace

void TestEndToEnd::initTestCase()
{
    PNV_REQUIRE_SEALED_NETWORK();
    auto bound = pnv::TessalinLibrary::loadFrom(qEnvironmentVariable("PNV_BIN_DIR").toStdString() + "/libtessalin.so");
    QVERIFY2(bound.library, bound.error.c_str());
    m_library = std::move(bound.library);
}

void TestEndToEnd::connectReadEditWriteAndReadBack()
{
    SimulatorProcess encoder(factoryEncoder());
    QVERIFY2(encoder.start(), qPrintable(encoder.errorString()));
    WindowFixture f(m_library->api(), m_library->path());
    f.window->show();
    QVERIFY(QTest::qWaitForWindowActive(f.window.get()));

    // GIVEN the window's defaults WHEN the user connects and reads
    f.button("BT_SConnect")->click();
    QCOMPARE(f.window->statusLine(), QStringLiteral(" Server Connect Success "));
    f.button("BT_SConnect")->click();
    QCOMPARE(f.window->statusLine(), QStringLiteral(" Server already Connect"));
    f.button("BT_ConfigRead")->click();
    QCOMPARE(f.window->statusLine(), QStringLiteral(" Configuration Reading Success "));
    QCOMPARE(f.edit("ME_SourceMAC")->text(), QStringLiteral("02 - 1A - 2B - 3C - 4D - 5E"));
    QCOMPARE(f.address("jIPE_SourceIP")->Text(), QStringLiteral("172.16.30.1"));
    QCOMPARE(f.edit("Edit_SourcePort")->text(), QStringLiteral("3001"));
    QCOMPARE(f.address("jIPE_SubnetMask")->Text(), QStringLiteral("255.255.0.0"));

    // WHEN the user types a new configuration and writes it
    f.address("jIPE_SourceIP")->setText(QStringLiteral("10.1.2.3"));
    typeInto(f.edit("Edit_SourcePort"), QStringLiteral("4000"));
    f.address("jIPE_Gateway")->setText(QStringLiteral("10.1.2.254"));
    f.address("jIPE_SubnetMask")->setText(QStringLiteral("255.255.255.0"));
    f.button("BT_ConfigWrite")->click();
    QCOMPARE(f.window->statusLine(), QStringLiteral(" Configuration Change Success "));

    // THEN the encoder's stored configuration holds it, and reads back so
    QFile state(encoder.statePath());
    QVERIFY(state.open(QIODevice::ReadOnly));
    const QByteArray stored = state.readAll();
    for (const char *value : {"10.1.2.3", "4000", "10.1.2.254", "255.255.255.0", "172.16.0.1", "700"})
        QVERIFY2(stored.contains(value), stored.constData());
    f.address("jIPE_SourceIP")->setText(QStringLiteral("0.0.0.0"));
    f.button("BT_ConfigRead")->click();
    QCOMPARE(f.address("jIPE_SourceIP")->Text(), QStringLiteral("10.1.2.3"));
    QCOMPARE(f.edit("Edit_SourcePort")->text(), QStringLiteral("4000"));

    // A configuration the address rules refuse never reaches the encoder.
    f.address("jIPE_SubnetMask")->setText(QStringLiteral("255.0.255.0"));
    {
        pnv::test::ErrorBoxSpy box;
        f.button("BT_ConfigWrite")->click();
        QCOMPARE(box.texts, QStringList{"Nothing was written:\nmask 255.0.255.0 is not contiguous."});
    }
    QCOMPARE(f.window->statusLine(), QString());
    QFile log(QFileInfo(encoder.stateDir()).path() + QStringLiteral("/simulator.log"));
    QVERIFY(log.open(QIODevice::ReadOnly));
    QCOMPARE(log.readAll().count("WRITE -> "), 1);   // the one above

    f.button("BT_SDisconnect")->click();
    QCOMPARE(f.window->statusLine(), QStringLiteral(" Server Disconnect"));
    f.button("BT_ConfigRead")->click();
    QCOMPARE(f.window->statusLine(), QStringLiteral(" Server Disconnect "));
}

void TestEndToEnd::silentEncoderTimesOutWithinTheBound()
{
    SimulatorProcess encoder(factoryEncoder({QStringLiteral("no-reply")}));
    QVERIFY2(encoder.start(), qPrintable(encoder.errorString()));
    WindowFixture f(m_library->api(), m_library->path());
    f.button("BT_SConnect")->click();
    QCOMPARE(f.window->statusLine(), QStringLiteral(" Server Connect Success "));

    QElapsedTimer clock;
    clock.start();
    f.button("BT_ConfigRead")->click();
    // The library's own bound, not a timing assertion of ours: it must return.
    QVERIFY2(clock.elapsed() < 3000 + 1000, "the library did not return within its documented bound");
    QCOMPARE(f.window->statusLine(), QStringLiteral(" Configuration Reading Time-Out"));
    QCOMPARE(f.address("jIPE_SourceIP")->Text(), QStringLiteral("0.0.0.0"));
}

void TestEndToEnd::unreachableEncoderReportsDisconnect()
{
    // Nothing listens at the factory address now: the connection is refused.
    WindowFixture f(m_library->api(), m_library->path());
    f.button("BT_SConnect")->click();
    QCOMPARE(f.window->statusLine(), QStringLiteral(" Server Disconnect "));
}

PNV_WINDOW_TEST_MAIN(TestEndToEnd)

#include "tst_e2e.moc"
