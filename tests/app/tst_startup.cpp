// The program refuses to start without a complete device library, and says
// which file or entry point is missing. Its command line answers --help and
// --version, and refuses what it does not know, before it touches a display
// or the library.

#include <QProcess>
#include <QtTest>

class TestStartup final : public QObject {
    Q_OBJECT
private slots:
    void startsOrRefuses_data();
    void startsOrRefuses();
};

void TestStartup::startsOrRefuses_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("library");   // TESSALIN_LIBRARY
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("out");
    QTest::addColumn<QStringList>("err");
    QTest::addColumn<bool>("outputClosed");   // started with its standard output closed
    const QString missing = QStringLiteral("/nonexistent/libtessalin.so");
    QTest::newRow("missing library file") << QStringList{} << missing << 1 << "" << QStringList{missing} << false;
    QTest::newRow("missing entry point") << QStringList{} << FAKE_LIB_INCOMPLETE << 1 << ""
                                         << QStringList{"'ConfigWrite'"} << false;
    QTest::newRow("--help") << QStringList{"--help"} << missing << 0 << "Usage: pnv3400-setup [options]"
                            << QStringList{} << false;
    QTest::newRow("--help-all lists Qt's options") << QStringList{"--help-all"} << missing << 0 << "--style <style>"
                                                  << QStringList{} << false;
    QTest::newRow("--version") << QStringList{"--version"} << missing << 0 << "pnv3400-setup " PNV_VERSION "\n"
                               << QStringList{} << false;
    QTest::newRow("unknown option") << QStringList{"--frobnicate"} << missing << 2 << ""
                                    << QStringList{"Unknown option 'frobnicate'", "Usage: pnv3400-setup"} << false;
    QTest::newRow("stray argument") << QStringList{"172.16.30.1"} << missing << 2 << ""
                                    << QStringList{"Unexpected argument '172.16.30.1'", "Usage: pnv3400-setup"} << false;
    QTest::newRow("unknown after a Qt option") << QStringList{"-style", "Fusion", "-x"} << missing << 2 << ""
                                               << QStringList{"Unknown option 'x'"} << false;
    // Help that cannot be written is a failure, not a silent success.
    QTest::newRow("--help, its output closed") << QStringList{"--help"} << missing << 1 << ""
                                               << QStringList{"pnv3400-setup: write error: Bad file descriptor"} << true;
    QTest::newRow("--version, its output closed") << QStringList{"--version"} << missing << 1 << ""
                                                  << QStringList{"pnv3400-setup: write error"} << true;
    // Qt's own options go through to Qt: the program gets as far as the
    // library, which is missing here.
    QTest::newRow("Qt's options") << QStringList{"-platform", "offscreen", "-reverse", "--style=Fusion"} << missing
                                  << 1 << "" << QStringList{"cannot bind the device library"} << false;
}

void TestStartup::startsOrRefuses()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, library);
    QFETCH(int, exitCode);
    QFETCH(QString, out);
    QFETCH(QStringList, err);
    QFETCH(bool, outputClosed);
    // No display can be reached and no library bound: a program that tried
    // either before answering its command line would abort or report the
    // library instead; a refusal of the library comes before any display.
    QProcess program;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("TESSALIN_LIBRARY"), library);
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), arguments.isEmpty() ? QStringLiteral("offscreen") : QStringLiteral("xcb"));
    env.remove(QStringLiteral("DISPLAY"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    program.setProcessEnvironment(env);
    const QString path = qEnvironmentVariable("PNV_BIN_DIR") + QStringLiteral("/pnv3400-setup");
    if (outputClosed)
        program.start(QStringLiteral("/bin/sh"),
                      QStringList{QStringLiteral("-c"), QStringLiteral("exec \"$0\" \"$@\" >&-"), path} + arguments);
    else
        program.start(path, arguments);
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
