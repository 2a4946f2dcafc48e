// The signal watch: SIGINT and SIGTERM reach the event loop as a Qt signal
// with their numbers, the interrupted code's errno survives even a full pipe,
// the actions they had come back when the watch ends, and a signal set to be
// ignored stays ignored.

#include "SignalWatch.h"

#include <QSignalSpy>
#include <QTest>

#include <cerrno>
#include <csignal>

class SignalWatchTest final : public QObject {
    Q_OBJECT

private slots:
    void signalsArriveThroughTheLoop();
};

void SignalWatchTest::signalsArriveThroughTheLoop()
{
    struct sigaction before {};
    QCOMPARE(::sigaction(SIGTERM, nullptr, &before), 0);
    {
        pnv::SignalWatch watch;
        QVERIFY(watch.install());
        pnv::SignalWatch second;
        QVERIFY(!second.install());   // one per process; the failed one leaves the first alone
        QSignalSpy spy(&watch, &pnv::SignalWatch::signalled);

        ::raise(SIGINT);
        ::raise(SIGTERM);
        QTRY_COMPARE(spy.size(), 2);
        QCOMPARE(spy.at(0).at(0).toInt(), SIGINT);
        QCOMPARE(spy.at(1).at(0).toInt(), SIGTERM);
        QVERIFY(watch.caught());

        // More signals than the pipe holds: the handler's failing writes must not show in errno.
        errno = EDOM;
        for (int i = 0; i < 70000 && errno == EDOM; ++i)
            ::raise(SIGINT);
        QCOMPARE(errno, EDOM);
        QTRY_VERIFY(spy.size() > 2);
    }
    struct sigaction current {};
    QCOMPARE(::sigaction(SIGTERM, nullptr, &current), 0);
    QVERIFY(current.sa_handler == before.sa_handler);

    ::signal(SIGHUP, SIG_IGN);
    pnv::SignalWatch again;
    QVERIFY(again.install({SIGINT, SIGHUP}));
    QCOMPARE(::sigaction(SIGHUP, nullptr, &current), 0);
    QVERIFY(current.sa_handler == SIG_IGN);
}

QTEST_GUILESS_MAIN(SignalWatchTest)
#include "tst_signalwatch.moc"
