#include "AppError.h"
#include "IntConversion.h"

#include <QtTest>

class TestIntConversion final : public QObject {
    Q_OBJECT
private slots:
    void accepted_data();
    void accepted();
    void rejected_data();
    void rejected();
    void failureNamesTheWholeText();
    void errorBoxAppendsOneFullStop();
};

void TestIntConversion::accepted_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("value");
    QTest::newRow("plain") << "3001" << 3001;
    QTest::newRow("leading zeros") << "007" << 7;
    QTest::newRow("leading blanks") << "   42" << 42;
    QTest::newRow("plus") << "+5" << 5;
    QTest::newRow("minus") << "-300" << -300;
    QTest::newRow("blanks before sign") << "  -1" << -1;
    QTest::newRow("int max") << "2147483647" << 2147483647;
    QTest::newRow("int min") << "-2147483648" << int(-2147483648LL);
    QTest::newRow("zeros then max") << "0002147483647" << 2147483647;
    QTest::newRow("dollar hex") << "$1F" << 31;
    QTest::newRow("x hex") << "xff" << 255;
    QTest::newRow("X hex") << "XFF" << 255;
    QTest::newRow("0x hex") << "0x10" << 16;
    QTest::newRow("0X hex") << "0XaB" << 171;
    QTest::newRow("eight hex digits are a bit pattern") << "$FFFFFFFF" << -1;
    QTest::newRow("high bit pattern") << "$80000000" << int(-2147483648LL);
    QTest::newRow("hex leading zeros beyond eight digits") << "$0000000001" << 1;
    QTest::newRow("blank before hex") << " $10" << 16;
    QTest::newRow("stops at NUL") << QString::fromUtf16(u"12\0zz", 5) << 12;
    QTest::newRow("zero") << "0" << 0;
    QTest::newRow("minus zero") << "-0" << 0;
}

void TestIntConversion::accepted()
{
    QFETCH(QString, text);
    QFETCH(int, value);
    const auto parsed = pnv::tryStrToInt(text);
    QVERIFY(parsed.has_value());
    QCOMPARE(*parsed, value);
    QCOMPARE(pnv::strToInt(text), value);
}

void TestIntConversion::rejected_data()
{
    QTest::addColumn<QString>("text");
    QTest::newRow("empty") << "";
    QTest::newRow("blanks only") << "   ";
    QTest::newRow("trailing blank") << "12 ";
    QTest::newRow("inner blank") << "1 2";
    QTest::newRow("blank after sign") << "- 1";
    QTest::newRow("tab in front") << "\t1";
    QTest::newRow("sign only") << "-";
    QTest::newRow("double sign") << "--1";
    QTest::newRow("letter") << "1a";
    QTest::newRow("dot") << "1.2";
    QTest::newRow("overflow") << "2147483648";
    QTest::newRow("negative overflow") << "-2147483649";
    QTest::newRow("long overflow") << "99999999999999999999";
    QTest::newRow("nine significant hex digits") << "$1FFFFFFFF";
    QTest::newRow("hex prefix only") << "$";
    QTest::newRow("0x only") << "0x";
    QTest::newRow("signed hex") << "-$10";
    QTest::newRow("hex letter out of range") << "$1G";
    QTest::newRow("decimal with hex letters") << "1F";
    QTest::newRow("full-width digit") << QString::fromUtf16(u"\uFF11");
    QTest::newRow("NUL first") << QString::fromUtf16(u"\0" "1", 2);
}

void TestIntConversion::rejected()
{
    QFETCH(QString, text);
    QVERIFY(!pnv::tryStrToInt(text).has_value());
    QVERIFY_THROWS_EXCEPTION(pnv::ConversionError, pnv::strToInt(text));
}

void TestIntConversion::failureNamesTheWholeText()
{
    try {
        pnv::strToInt(u" 12a ");
        QFAIL("conversion accepted a stray letter");
    } catch (const pnv::ConversionError &error) {
        QCOMPARE(error.message(), QStringLiteral("' 12a ' is not a valid integer value"));
        QCOMPARE(error.offendingText(), QStringLiteral(" 12a "));
    }
    try {
        pnv::strToInt(u"");
        QFAIL("conversion accepted the empty text");
    } catch (const pnv::AppError &error) {
        QCOMPARE(error.message(), QStringLiteral("'' is not a valid integer value"));
    }
}

void TestIntConversion::errorBoxAppendsOneFullStop()
{
    QCOMPARE(pnv::errorBoxText(pnv::ConversionError(QString()).message()),
             QStringLiteral("'' is not a valid integer value."));
    QCOMPARE(pnv::errorBoxText(QStringLiteral("JPEG error #42")), QStringLiteral("JPEG error #42."));
    QCOMPARE(pnv::errorBoxText(QStringLiteral("Done.")), QStringLiteral("Done."));
}

QTEST_APPLESS_MAIN(TestIntConversion)
#include "tst_intconversion.moc"
