// The program refuses to start without a complete device library, and says
// which file or entry point is missing.

#include <QProcess>
#include <QtTest>

class TestStartup final : public QObject {
    Q_OBJECT
private slots:
    void refusesWithoutTheLibrary_data();
    void refusesWithoutTheLibrary();
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

QTEST_GUILESS_MAIN(TestStartup)
#include "tst_startup.moc"
