// The firmware's mask rule and the state file's text form.

#include "ConfigRules.h"
#include "StateFile.h"

#include <QRandomGenerator>
#include <QtTest>

using tessalin::NetworkConfig;

class ConfigRulesTest final : public QObject {
    Q_OBJECT

private slots:
    void prefixLength_data();
    void prefixLength();
    void stateTextRoundTrips();
    void macFollowsThePath();
};

void ConfigRulesTest::prefixLength_data()
{
    QTest::addColumn<quint32>("mask");
    QTest::addColumn<int>("prefix");
    QTest::newRow("/0") << 0x00000000U << 0;
    QTest::newRow("/1") << 0x80000000U << 1;
    QTest::newRow("/16") << 0xFFFF0000U << 16;
    QTest::newRow("/24") << 0xFFFFFF00U << 24;
    QTest::newRow("/31") << 0xFFFFFFFEU << 31;
    QTest::newRow("/32") << 0xFFFFFFFFU << 32;
    QTest::newRow("hole") << 0xFF00FF00U << -1;
    QTest::newRow("low bit only") << 0x00000001U << -1;
    QTest::newRow("inverted /24") << 0x000000FFU << -1;
    QTest::newRow("one stray bit") << 0xFFFFFF01U << -1;
}

void ConfigRulesTest::prefixLength()
{
    QFETCH(quint32, mask);
    QFETCH(int, prefix);
    QCOMPARE(pnv::sim::prefixLength(mask), prefix);
}

void ConfigRulesTest::stateTextRoundTrips()
{
    auto *random = QRandomGenerator::global();
    for (int i = 0; i < 200; ++i) {
        NetworkConfig config;
        for (auto &b : config.mac)
            b = static_cast<std::uint8_t>(random->bounded(256));
        config.address = {10, static_cast<std::uint8_t>(random->bounded(256)), static_cast<std::uint8_t>(random->bounded(256)),
                          static_cast<std::uint8_t>(1 + random->bounded(254))};
        config.port = static_cast<std::uint16_t>(1 + random->bounded(65535));
        for (auto &b : config.auxAddress)
            b = static_cast<std::uint8_t>(random->bounded(256));
        config.auxPort = static_cast<std::uint16_t>(random->bounded(65536));
        for (auto &b : config.gateway)
            b = static_cast<std::uint8_t>(random->bounded(256));
        config.mask = {255, 255, 255, 0};
        QString error;
        const auto parsed = pnv::sim::parseState(pnv::sim::formatState(config).toUtf8(), error);
        QVERIFY2(parsed, qPrintable(error));
        QVERIFY(*parsed == config);
    }
}

void ConfigRulesTest::macFollowsThePath()
{
    const auto a = pnv::sim::macForStatePath(QStringLiteral("/tmp/a/encoder.state"));
    QVERIFY(a == pnv::sim::macForStatePath(QStringLiteral("/tmp/a/encoder.state")));
    QVERIFY(a != pnv::sim::macForStatePath(QStringLiteral("/tmp/b/encoder.state")));
    QCOMPARE(a[0] & 0x03, 0x02);   // locally administered, unicast
}

QTEST_GUILESS_MAIN(ConfigRulesTest)
#include "tst_configrules.moc"
