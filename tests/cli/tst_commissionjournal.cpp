// The commissioning journal read back: which rows are bound to which MAC and
// done, a journal that does not fit its plan refused, a line cut short by a
// crash dropped, and one run at a time.

#include "CommissionPlan.h"
#include "CtlProcess.h"
#include "Journal.h"

#include <QTemporaryDir>
#include <QTest>

using namespace pnv::ctl;
using pnv::test::readFile;
using pnv::test::writeFile;

namespace {

const QByteArray kHeader = "time,mac,row,ip,port,gateway,mask,outcome,message\n";
const QByteArray kPlan = "ip,port,gateway,mask\n10.0.0.11,,10.0.0.1,255.255.255.0\n10.0.0.12,,10.0.0.1,255.255.255.0\n";

QByteArray line(int mac, int row, const char *outcome, const char *ip = nullptr)
{
    return QStringLiteral("2026-01-01T00:00:00Z,02:00:00:00:00:0%1,%2,%3,,10.0.0.1,255.255.255.0,%4,\n")
        .arg(mac)
        .arg(row)
        .arg(ip ? QString::fromLatin1(ip) : QStringLiteral("10.0.0.1%1").arg(row), QLatin1String(outcome))
        .toUtf8();
}

} // namespace

class CommissionJournalTest final : public QObject {
    Q_OBJECT

private slots:
    void readBack_data();
    void readBack();
    void appendsLockAndQuote();
};

void CommissionJournalTest::readBack_data()
{
    QTest::addColumn<QByteArray>("journal");
    QTest::addColumn<QByteArray>("plan");
    QTest::addColumn<QString>("error");   // a part of the first error; empty: none
    QTest::addColumn<int>("row2Mac");     // the MAC (its last digit) row 2 is bound to, 0 for none
    QTest::addColumn<bool>("row2Done");

    QTest::newRow("a failed write binds its row to the MAC, not done")
        << kHeader + line(1, 1, "writing") + line(1, 1, "applied") + line(2, 2, "writing") + line(2, 2, "rejected") << kPlan
        << QString() << 2 << false;
    QTest::newRow("unchanged counts as done") << kHeader + line(3, 2, "writing") + line(3, 2, "unchanged") << kPlan
                                              << QString() << 3 << true;
    QTest::newRow("a write begun and never told binds its row")
        << kHeader + line(4, 2, "writing") << kPlan << QString() << 4 << false;
    QTest::newRow("a last line cut short is dropped") << kHeader + line(1, 2, "writing").left(30) << kPlan << QString() << 0
                                                      << false;
    QTest::newRow("one MAC with two rows") << kHeader + line(1, 1, "writing") + line(1, 2, "writing") << kPlan
                                           << QStringLiteral(":3: MAC 02:00:00:00:00:01 with row 2, but line 2 gave it row 1")
                                           << 0 << false;
    QTest::newRow("one row with two MACs") << kHeader + line(1, 2, "writing") + line(2, 2, "writing") << kPlan
                                           << QStringLiteral(":3: row 2 with MAC 02:00:00:00:00:02, but line 2 gave it to "
                                                             "02:00:00:00:00:01")
                                           << 1 << false;
    QTest::newRow("a header that is not the journal's") << QByteArray("time,mac,row\n") << kPlan
                                                        << QStringLiteral(":1: the first line of a journal is") << 0 << false;
    QTest::newRow("a plan named as the journal is left as it was") << kPlan.chopped(1) << kPlan
                                                                   << QStringLiteral(":1: the first line of a journal is") << 0
                                                                   << false;
    QTest::newRow("a journal header cut short is written anew") << kHeader.left(20) << kPlan << QString() << 0 << false;
    QTest::newRow("an unknown outcome") << kHeader + line(1, 1, "done") << kPlan
                                        << QStringLiteral(":2: unknown outcome \"done\"") << 0 << false;
    QTest::newRow("the plan gives a journaled row another ip")
        << kHeader + line(1, 2, "applied", "10.0.0.99") << kPlan
        << QStringLiteral(":2: row 2 was given ip 10.0.0.99; the plan now gives it 10.0.0.12") << 1 << true;
    QTest::newRow("a row the plan lacks") << kHeader + line(1, 3, "applied") << kPlan
                                          << QStringLiteral(":2: row 3 is not in the plan") << 0 << false;
    QTest::newRow("the plan gives the row to another MAC")
        << kHeader + line(1, 2, "applied")
        << QByteArray("ip,port,gateway,mask,mac\n10.0.0.11,,0.0.0.0,255.255.255.0,\n10.0.0.12,,0.0.0.0,255.255.255.0,02:00:00:00:00:09\n")
        << QStringLiteral(":2: row 2 went to MAC 02:00:00:00:00:01; the plan gives it to 02:00:00:00:00:09") << 1 << true;
    // Refused when that encoder answers, not for the whole site.
    QTest::newRow("the plan gives a journaled MAC another row")
        << kHeader + line(1, 2, "applied")
        << QByteArray("ip,port,gateway,mask,mac\n10.0.0.11,,0.0.0.0,255.255.255.0,02:00:00:00:00:01\n10.0.0.12,,0.0.0.0,255.255.255.0,\n")
        << QString() << 1 << true;
    // A quote opened on one line and closed lines later would free the rows between.
    QTest::newRow("a quoted cell spanning lines")
        << kHeader + line(1, 1, "writing").replace(",writing,", ",writing,\"x") + line(2, 2, "writing") + "y\"\n" << kPlan
        << QStringLiteral(":2: a quoted cell opened here is not closed on its line") << 0 << false;
    QTest::newRow("a byte order mark before the header") << "\xEF\xBB\xBF" + kHeader + line(3, 2, "applied") << kPlan
                                                         << QString() << 3 << true;
}

void CommissionJournalTest::readBack()
{
    QFETCH(QByteArray, journal);
    QFETCH(QByteArray, plan);
    QFETCH(QString, error);
    QFETCH(int, row2Mac);
    QFETCH(bool, row2Done);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("site.journal.csv"));
    QVERIFY(writeFile(path, journal));
    const CommissionPlan parsed = parseCommissionPlan(plan, QStringLiteral("site.csv"), 0xAC101E01);
    QVERIFY2(parsed.errors.isEmpty(), qPrintable(textsOf(parsed.errors).join(u'\n')));

    Journal read;
    QList<Refusal> errors = read.open(path, true);
    if (errors.isEmpty())
        errors = read.disagreements(parsed);
    QCOMPARE(errors.value(0).text().contains(error), true);
    QCOMPARE(errors.isEmpty(), error.isEmpty());
    QCOMPARE(read.macOf(2), row2Mac ? QStringLiteral("02:00:00:00:00:0%1").arg(row2Mac) : QString());
    QCOMPARE(read.done(2), row2Done);
    // A refused journal is left as it was; an accepted one ends with a whole line, so the next append is a line of its own.
    if (error.isEmpty())
        QVERIFY(readFile(path).indexOf(kHeader) >= 0 && readFile(path).indexOf(kHeader) <= 3 && readFile(path).endsWith('\n'));
    else
        QCOMPARE(readFile(path), journal);
}

void CommissionJournalTest::appendsLockAndQuote()
{
    QTemporaryDir dir;
    const QString path = Journal::besidePlan(dir.filePath(QStringLiteral("site.CSV")));
    QCOMPARE(path, dir.filePath(QStringLiteral("site.journal.csv")));
    {
        Journal first;
        QVERIFY(first.open(path, true).isEmpty());
        QCOMPARE(readFile(path), kHeader);
        const QString message = QStringLiteral("read: \"link down\", code 1");
        QCOMPARE(first.append({QStringLiteral("02:00:00:00:00:01"), 2, {QStringLiteral("10.0.0.12"), {}, {}, {}},
                               QStringLiteral("failed"), message}),
                 QString());
        QCOMPARE(first.rowOf(QStringLiteral("02:00:00:00:00:01")).value_or(0), 2);

        // A second run on the same journal is refused while the first holds it.
        Journal second;
        const QStringList refused = textsOf(second.open(path, true));
        QCOMPARE(refused.size(), 1);
        QVERIFY2(refused.first().contains(QStringLiteral("is in use by another pnv3400ctl commission")), qPrintable(refused.first()));
    }
    Journal reread;
    QVERIFY(reread.open(path, false).isEmpty());
    QCOMPARE(reread.macOf(2), QStringLiteral("02:00:00:00:00:01"));
    QCOMPARE(reread.lastOutcome(2), QStringLiteral("failed"));
    QVERIFY2(readFile(path).endsWith(",failed,\"read: \"\"link down\"\", code 1\"\n"), readFile(path).constData());
}

QTEST_GUILESS_MAIN(CommissionJournalTest)
#include "tst_commissionjournal.moc"
