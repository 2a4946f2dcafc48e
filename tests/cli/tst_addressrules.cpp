// The address rules as one table: what each field may hold, alone and
// together, and the exact words of every refusal.

#include "AddressRules.h"
#include "Messages.h"

#include <QTest>

using namespace pnv;
using namespace pnv::net;

class AddressRulesTest final : public QObject {
    Q_OBJECT

private slots:
    void rules_data();
    void rules();
    void prefixLengths();
    void printableText_data();
    void printableText();
};

namespace {
// A field not given (a null QString in the table).
constexpr const char *none = nullptr;
} // namespace

void AddressRulesTest::rules_data()
{
    QTest::addColumn<QString>("ip");
    QTest::addColumn<QString>("port");
    QTest::addColumn<QString>("gateway");
    QTest::addColumn<QString>("mask");
    QTest::addColumn<bool>("syntax");     // refused as text: --force cannot skip it
    QTest::addColumn<QString>("refusal"); // empty: accepted

    const auto row = [](const char *name, const char *ip, const char *port, const char *gateway, const char *mask,
                        bool syntax, const char *refusal) {
        const auto text = [](const char *value) { return value ? QString::fromLatin1(value) : QString(); };
        QTest::newRow(name) << text(ip) << text(port) << text(gateway) << text(mask) << syntax
                            << QString::fromLatin1(refusal);
    };
    row("usable configuration", "10.1.2.3", "3001", "10.1.2.254", "255.255.255.0", false, "");
    row("no gateway", "10.1.2.3", "3001", "0.0.0.0", "255.255.255.0", false, "");
    row("widest prefix /1", "10.1.2.3", "1", "0.0.0.0", "128.0.0.0", false, "");
    row("narrowest prefix /30", "10.0.0.1", "65535", "10.0.0.2", "255.255.255.252", false, "");

    row("mask not contiguous", "10.1.2.3", "3001", "0.0.0.0", "255.0.255.0", false, "mask 255.0.255.0 is not contiguous");
    row("mask with a hole at the end", none, none, none, "255.255.255.253", false,
        "mask 255.255.255.253 is not contiguous");
    row("mask /0", none, none, none, "0.0.0.0", false, "mask 0.0.0.0 is a /0; the prefix must be 1 to 30");
    row("mask /31", none, none, none, "255.255.255.254", false,
        "mask 255.255.255.254 is a /31; the prefix must be 1 to 30");
    row("mask /32", none, none, none, "255.255.255.255", false,
        "mask 255.255.255.255 is a /32; the prefix must be 1 to 30");

    row("ip in 0.0.0.0/8", "0.1.2.3", none, none, none, false, "ip 0.1.2.3 is in 0.0.0.0/8 (this network)");
    row("ip 0.0.0.0", "0.0.0.0", none, none, none, false, "ip 0.0.0.0 is in 0.0.0.0/8 (this network)");
    row("ip just above 0.0.0.0/8", "1.0.0.1", none, none, "255.0.0.0", false, "");
    row("ip loopback", "127.0.0.1", none, none, none, false, "ip 127.0.0.1 is in 127.0.0.0/8 (loopback)");
    row("ip loopback, top", "127.255.255.254", none, none, none, false,
        "ip 127.255.255.254 is in 127.0.0.0/8 (loopback)");
    row("ip just below multicast", "223.255.255.1", none, none, "255.255.255.0", false, "");
    row("ip multicast", "224.0.0.1", none, none, none, false, "ip 224.0.0.1 is in 224.0.0.0/4 (multicast)");
    row("ip multicast, top", "239.255.255.254", none, none, none, false,
        "ip 239.255.255.254 is in 224.0.0.0/4 (multicast)");
    row("ip reserved", "240.0.0.1", none, none, none, false, "ip 240.0.0.1 is in 240.0.0.0/4 (reserved)");
    row("ip limited broadcast", "255.255.255.255", none, none, none, false,
        "ip 255.255.255.255 is in 240.0.0.0/4 (reserved)");
    row("ip network address", "10.1.2.0", none, none, "255.255.255.0", false,
        "ip 10.1.2.0 is the network address of 10.1.2.0/24");
    row("ip broadcast address", "10.1.2.255", none, none, "255.255.255.0", false,
        "ip 10.1.2.255 is the broadcast address of 10.1.2.0/24");
    row("ip broadcast of a /30", "10.0.0.3", none, none, "255.255.255.252", false,
        "ip 10.0.0.3 is the broadcast address of 10.0.0.0/30");
    row("ip .0 inside a /16 is a host", "172.16.1.0", none, none, "255.255.0.0", false, "");
    row("ip alone: the subnet is not known yet", "10.1.2.0", none, none, none, false, "");

    row("gateway outside the subnet", "10.1.2.3", none, "10.1.3.1", "255.255.255.0", false,
        "gateway 10.1.3.1 is outside 10.1.2.0/24, the subnet of ip 10.1.2.3");
    row("gateway is the ip", "10.1.2.3", none, "10.1.2.3", "255.255.255.0", false, "gateway 10.1.2.3 is the ip itself");
    row("gateway network address", "10.1.2.3", none, "10.1.2.0", "255.255.255.0", false,
        "gateway 10.1.2.0 is the network address of 10.1.2.0/24");
    row("gateway broadcast address", "10.1.2.3", none, "10.1.2.255", "255.255.255.0", false,
        "gateway 10.1.2.255 is the broadcast address of 10.1.2.0/24");
    row("gateway loopback", none, none, "127.0.0.1", none, false, "gateway 127.0.0.1 is in 127.0.0.0/8 (loopback)");
    row("gateway alone", none, none, "10.9.9.9", none, false, "");
    row("gateway is the ip, no mask", "10.0.0.1", none, "10.0.0.1", none, false, "gateway 10.0.0.1 is the ip itself");
    row("gateway is the ip, mask refused", "10.1.2.3", none, "10.1.2.3", "255.0.255.0", false,
        "mask 255.0.255.0 is not contiguous|gateway 10.1.2.3 is the ip itself");

    row("port 0", none, "0", none, none, false, "port 0 is outside 1 to 65535");
    row("port 65536", none, "65536", none, none, true, "port \"65536\" is not a number from 1 to 65535");
    row("port with a sign", none, "+3001", none, none, true, "port \"+3001\" is not a number from 1 to 65535");
    row("port in hexadecimal", none, "0x10", none, none, true, "port \"0x10\" is not a number from 1 to 65535");
    row("port empty", none, "", none, none, true, "port \"\" is not a number from 1 to 65535");

    const char *const badAddresses[] = {"10.1.2", "10.1.2.3.4", "10.1.2.256", "010.1.2.3", " 10.1.2.3",
                                        "10.1.2.3 ", "10..2.3", "10.1.2.-3", "a.b.c.d", ""};
    for (const char *bad : badAddresses)
        row(qPrintable(QStringLiteral("ip text \"%1\"").arg(QLatin1String(bad))), bad, none, none, none, true,
            qPrintable(QStringLiteral("ip \"%1\" is not a dotted address of four octets 0 to 255").arg(QLatin1String(bad))));
    row("mask text", none, none, none, "255.255.255.0/24", true,
        "mask \"255.255.255.0/24\" is not a dotted address of four octets 0 to 255");
    row("terminal controls are echoed escaped", "\x1b]0;x\a\x1b[2J", none, none, none, true,
        "ip \"\\u001b]0;x\\u0007\\u001b[2J\" is not a dotted address of four octets 0 to 255");
}

void AddressRulesTest::rules()
{
    QFETCH(QString, ip);
    QFETCH(QString, port);
    QFETCH(QString, gateway);
    QFETCH(QString, mask);
    QFETCH(bool, syntax);
    QFETCH(QString, refusal);
    const QStringList expected = refusal.isEmpty() ? QStringList() : refusal.split(u'|');

    const net::ParsedFields parsed = net::parseFields({ip, port, gateway, mask});
    // Each refusal is about the field its message starts with.
    for (const net::Violation &violation : parsed.syntaxErrors + net::fieldViolations(parsed.config))
        QVERIFY2(violation.message.startsWith(violation.field + u' '), qPrintable(violation.message));
    if (syntax) {
        QCOMPARE(net::messagesOf(parsed.syntaxErrors), expected);
        return;
    }
    QVERIFY(parsed.syntaxErrors.isEmpty());
    QCOMPARE(net::ruleViolations(parsed.config), expected);
    // Fields not given stay absent, so write keeps the encoder's own values.
    QCOMPARE(parsed.config.ip.has_value(), !ip.isNull());
    QCOMPARE(parsed.config.gateway.has_value(), !gateway.isNull());
}

void AddressRulesTest::prefixLengths()
{
    QCOMPARE(net::prefixLength(0xFFFFFF00U), 24);
    QCOMPARE(net::prefixLength(0U), 0);
    QCOMPARE(net::prefixLength(0xFFFFFFFFU), 32);
    QCOMPARE(net::prefixLength(0xFF00FF00U), -1);
    QCOMPARE(net::prefixLength(0x7FFFFFFFU), -1);   // ones not from the top
    QCOMPARE(net::formatDotted(*net::parseDotted(u"192.168.0.1")), QStringLiteral("192.168.0.1"));
}

void AddressRulesTest::printableText_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("fileName");   // quotedName() rather than printable()
    QTest::addColumn<QString>("shown");
    const auto row = [](const char *name, const QString &text, bool fileName, const QString &shown) {
        QTest::newRow(name) << text << fileName << shown;
    };
    row("plain", QStringLiteral("10.0.0.1 ü"), false, QStringLiteral("10.0.0.1 ü"));
    row("line ends, tab", QStringLiteral("a\r\n\tb"), false, QStringLiteral("a\\r\\n\\tb"));
    row("a backslash and n is not a line break", QStringLiteral("a\\nb"), false, QStringLiteral("a\\\\nb"));
    row("DEL and C1 CSI", QStringLiteral("a\x7f\u009b2J"), false, QStringLiteral("a\\u007f\\u009b2J"));
    row("right-to-left override", QStringLiteral("a\u202Eb"), false, QStringLiteral("a\\u202eb"));
    row("long text cut", QString(100, u'x'), false, QString(80, u'x') + QStringLiteral("... (100 characters)"));
    row("never half a character", QString(79, u'x') + QStringLiteral("\U0001F600"), false,
        QString(79, u'x') + QStringLiteral("... (81 characters)"));
    row("file name, plain", QStringLiteral("/tmp/site-1/plan_2.csv"), true, QStringLiteral("/tmp/site-1/plan_2.csv"));
    row("file name with a blank", QStringLiteral("my plan.csv"), true, QStringLiteral("'my plan.csv'"));
    row("file name with a quote", QStringLiteral("it's.csv"), true, QStringLiteral("'it'\\''s.csv'"));
    row("file name with a line break", QStringLiteral("a\nb"), true, QStringLiteral("'a'$'\\n''b'"));
    row("file name with a backslash", QStringLiteral("a\\b"), true, QStringLiteral("'a\\b'"));
    row("empty file name", QString(), true, QStringLiteral("''"));
    row("long file name cut", QString(1030, u'x'), true, QString(1024, u'x') + QStringLiteral("... (1030 characters)"));
}

void AddressRulesTest::printableText()
{
    QFETCH(QString, text);
    QFETCH(bool, fileName);
    QFETCH(QString, shown);
    QCOMPARE(fileName ? quotedName(text) : printable(text), shown);
}

QTEST_GUILESS_MAIN(AddressRulesTest)
#include "tst_addressrules.moc"
