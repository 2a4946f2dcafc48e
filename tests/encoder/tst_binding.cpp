#include "TessalinBinding.h"
#include "tessalin_codes.h"

#include <QtTest>
#include <dlfcn.h>

// The binding against real shared libraries: a complete fake, one without
// ConfigWrite, and a file that does not exist.
class TestBinding final : public QObject {
    Q_OBJECT
private slots:
    void completeLibraryIsCalledWithTheGivenArguments();
    void missingEntryPointIsNamed();
    void missingFileIsNamed();
    void explicitLibraryVariableIsHonoured();
    void searchLooksNextToTheExecutableFirst();
    void referenceIsTakenAndReleased();
};

void TestBinding::completeLibraryIsCalledWithTheGivenArguments()
{
    auto loaded = pnv::TessalinLibrary::loadFrom(FAKE_LIB);
    QVERIFY2(loaded.library, loaded.error.c_str());
    const pnv::TessalinApi &api = loaded.library->api();

    void *self = dlopen(FAKE_LIB, RTLD_NOW | RTLD_NOLOAD);
    QVERIFY(self);
    auto fakeLog = reinterpret_cast<const char *(*)()>(dlsym(self, "fake_log"));
    auto fakeReset = reinterpret_cast<void (*)()>(dlsym(self, "fake_reset"));
    QVERIFY(fakeLog && fakeReset);
    fakeReset();

    char address[16] = "172.16.30.1";
    QCOMPARE(api.S_Connect(address, TESSALIN_CONNECT_MODE, 3001) & 0xFF, 5);
    std::uint8_t buffer[500] = {};
    QCOMPARE(api.ConfigRead(buffer, 500), 1);
    QCOMPARE(buffer[0], std::uint8_t(0x2A));
    buffer[0] = 0x0A;
    buffer[19] = 0xFE;
    QCOMPARE(api.ConfigWrite(buffer, 500), 1);
    QCOMPARE(buffer[0], std::uint8_t(4));
    api.S_Disconnect();
    api.DLLClose();
    QCOMPARE(QByteArray(fakeLog()),
             QByteArray("S_Connect(172.16.30.1,14,3001);ConfigRead(500);ConfigWrite(0AFE,500);S_Disconnect;DLLClose;"));
    dlclose(self);
}

void TestBinding::missingEntryPointIsNamed()
{
    const auto loaded = pnv::TessalinLibrary::loadFrom(FAKE_LIB_INCOMPLETE);
    QVERIFY(!loaded.library);
    QVERIFY2(loaded.error.find("'ConfigWrite'") != std::string::npos, loaded.error.c_str());
    QVERIFY2(loaded.error.find(FAKE_LIB_INCOMPLETE) != std::string::npos, loaded.error.c_str());
}

void TestBinding::missingFileIsNamed()
{
    const auto byPath = pnv::TessalinLibrary::loadFrom("/nonexistent/libtessalin.so");
    QVERIFY(!byPath.library);
    QVERIFY2(byPath.error.find("/nonexistent/libtessalin.so") != std::string::npos, byPath.error.c_str());

    const auto byName = pnv::TessalinLibrary::loadFrom("libtessalin-absent.so");
    QVERIFY(!byName.library);
    QVERIFY2(byName.error.find("libtessalin-absent.so") != std::string::npos, byName.error.c_str());
}

void TestBinding::explicitLibraryVariableIsHonoured()
{
    qputenv("TESSALIN_LIBRARY", "/nonexistent/maker/libtessalin.so");
    const auto missing = pnv::TessalinLibrary::load();
    QVERIFY(!missing.library);
    QVERIFY2(missing.error.find("/nonexistent/maker/libtessalin.so") != std::string::npos, missing.error.c_str());

    qputenv("TESSALIN_LIBRARY", FAKE_LIB);
    const auto present = pnv::TessalinLibrary::load();
    qunsetenv("TESSALIN_LIBRARY");
    QVERIFY2(present.library, present.error.c_str());
    QCOMPARE(QString::fromStdString(present.library->path()), QStringLiteral(FAKE_LIB));
}

void TestBinding::searchLooksNextToTheExecutableFirst()
{
    qunsetenv("TESSALIN_LIBRARY");
    const auto candidates = pnv::TessalinLibrary::candidates();
    QVERIFY(!candidates.empty());
    QCOMPARE(QString::fromStdString(candidates.front().path),
             QCoreApplication::applicationDirPath() + QStringLiteral("/libtessalin.so"));
}

void TestBinding::referenceIsTakenAndReleased()
{
    pnv::LibraryReference reference;
    reference.acquire(FAKE_LIB);
    QVERIFY(reference.isHeld());
    QVERIFY(dlopen(FAKE_LIB, RTLD_NOW | RTLD_NOLOAD) != nullptr);
    dlclose(dlopen(FAKE_LIB, RTLD_NOW | RTLD_NOLOAD));  // balance the probe
    reference.release();
    reference.release();  // a second release is harmless
    QVERIFY(!reference.isHeld());

    reference.acquire("/nonexistent/libtessalin.so");  // a failed load goes unnoticed
    QVERIFY(!reference.isHeld());
}

QTEST_GUILESS_MAIN(TestBinding)
#include "tst_binding.moc"
