// The application's set-up: the window icon is the 80 x 80 drawing, read
// without any image-format plugin (each would cost start-up time and memory
// for a format the program never reads).

#include "AppSetup.h"

#include <QApplication>
#include <QFile>
#include <QIcon>
#include <QStyle>
#include <QtTest>

class TestAppSetup final : public QObject {
    Q_OBJECT
private slots:
    void iconWithoutImagePlugins();
    void styleChosenByTheUserWins();
};

void TestAppSetup::iconWithoutImagePlugins()
{
    const QIcon icon = QApplication::windowIcon();
    QCOMPARE(icon.availableSizes(), QList<QSize>{QSize(80, 80)});
    QCOMPARE(icon.pixmap(80, 80).toImage().pixelColor(0, 0), QColor(Qt::white));

    QFile maps(QStringLiteral("/proc/self/maps"));
    QVERIFY(maps.open(QIODevice::ReadOnly));
    const QByteArray mapped = maps.readAll();
    QVERIFY(mapped.contains("libQt6Gui")); // the list is the one we think it is
    QVERIFY2(!mapped.contains("/imageformats/"), "an image-format plugin was loaded at set-up");
}

void TestAppSetup::styleChosenByTheUserWins()
{
    QCOMPARE(QApplication::style()->name(), QStringLiteral("windows"));
    QApplication::setStyle(QStringLiteral("Fusion"));   // what -style Fusion does

    pnv::setUpApplication(*qApp, true);
    QCOMPARE(QApplication::style()->name(), QStringLiteral("fusion"));
    pnv::setUpApplication(*qApp, false);
    QCOMPARE(QApplication::style()->name(), QStringLiteral("windows"));
}

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    pnv::setUpApplication(app);
    TestAppSetup test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_appsetup.moc"
