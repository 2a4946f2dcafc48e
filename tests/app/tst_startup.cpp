// The program refuses to start without a complete device library, and says
// which file or entry point is missing. Its command line answers --help and
// --version, and refuses what it does not know, before it touches a display
// or the library.

#include <QProcess>
#include <QtTest>

class TestStartup final : public QObject {
    Q_OBJECT
private slots:
    void refusesWithoutTheLibrary_data();
    void refusesWithoutTheLibrary();
    void commandLine_data();
    void commandLine();
};

void TestStartup::refusesWithoutTheLibrary_data()
{
    QTest::addColumn<QString>("library");
    QTest::addColumn<QString>("named");
    QTest::newRow("missing file") << "/nonexistent/libtessalin.so" << "/nonexistent/libtessalin.so";
    QTest::newRow("missing entry point") << FAKE_LIB_INCOMPLETE << "'ConfigWrite'";
}

void TestStartup::refusesWithoutTheLibrary()
{
    QFETCH(QString, library);
    QFETCH(QString, named);
    QProcess program;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("TESSALIN_LIBRARY"), library);
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    program.setProcessEnvironment(env);
    program.start(qEnvironmentVariable("PNV_BIN_DIR") + QStringLiteral("/pnv3400-setup"));
    QVERIFY(program.waitForFinished(30000));
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QVERIFY(program.exitCode() != 0);
    const QString errors = QString::fromLocal8Bit(program.readAllStandardError());
    QVERIFY2(errors.contains(named), qPrintable(errors));
}

void TestStartup::commandLine_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("out");
    QTest::addColumn<QStringList>("err");
    QTest::newRow("--help") << QStringList{"--help"} << 0 << "Usage: pnv3400-setup [options]" << QStringList{};
    QTest::newRow("-h") << QStringList{"-h"} << 0 << "--version" << QStringList{};
    QTest::newRow("--version") << QStringList{"--version"} << 0 << "pnv3400-setup " PNV_VERSION "\n"
                               << QStringList{};
    QTest::newRow("unknown option") << QStringList{"--frobnicate"} << 2 << ""
                                    << QStringList{"Unknown option 'frobnicate'", "Usage: pnv3400-setup"};
    QTest::newRow("stray argument") << QStringList{"172.16.30.1"} << 2 << ""
                                    << QStringList{"Unexpected argument '172.16.30.1'", "Usage: pnv3400-setup"};
    QTest::newRow("unknown after a Qt option") << QStringList{"-style", "Fusion", "-x"} << 2 << ""
                                               << QStringList{"Unknown option 'x'"};
    // Qt's own options go through to Qt: the program gets as far as the
    // library, which is missing here.
    QTest::newRow("Qt's options") << QStringList{"-platform", "offscreen", "-reverse", "--style=Fusion"} << 1 << ""
                                  << QStringList{"cannot bind the device library"};
}

void TestStartup::commandLine()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, out);
    QFETCH(QStringList, err);
    // No display can be reached and no library bound: a program that tried
    // either before answering would abort or report the library instead.
    QProcess program;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("TESSALIN_LIBRARY"), QStringLiteral("/nonexistent/libtessalin.so"));
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    env.remove(QStringLiteral("DISPLAY"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    program.setProcessEnvironment(env);
    program.start(qEnvironmentVariable("PNV_BIN_DIR") + QStringLiteral("/pnv3400-setup"), arguments);
    QVERIFY(program.waitForFinished(30000));
    const QString stdOut = QString::fromLocal8Bit(program.readAllStandardOutput());
    const QString stdErr = QString::fromLocal8Bit(program.readAllStandardError());
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QVERIFY2(program.exitCode() == exitCode, qPrintable(stdErr));
    if (out.isEmpty())
        QCOMPARE(stdOut, QString());
    else
        QVERIFY2(stdOut.contains(out), qPrintable(stdOut));
    if (err.isEmpty())
        QCOMPARE(stdErr, QString());
    for (const QString &part : err)
        QVERIFY2(stdErr.contains(part), qPrintable(stdErr));
}

QTEST_GUILESS_MAIN(TestStartup)
#include "tst_startup.moc"
