// Start-up cost of the window, measured in process with the offscreen
// platform: creating the application object and the window from its
// definition, showing it until its first paint, and bringing the reset page
// to the front (which decodes its four pictures). Run:
//   QT_QPA_PLATFORM=offscreen build/bin/pnv3400-bench-startup

#include "AppSetup.h"
#include "PictureClasses.h"
#include "TForm_Main.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTabWidget>
#include <QtTest/QTest>

#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

// Every call goes nowhere: the window is measured, not the library.
pnv::TessalinApi idleLibrary()
{
    pnv::TessalinApi api;
    api.S_Connect = [](const char *, int32_t, int32_t) { return int32_t(1); };
    api.S_Disconnect = [] {};
    api.ConfigRead = [](uint8_t *, int32_t) { return int32_t(0); };
    api.ConfigWrite = [](uint8_t *, int32_t) { return int32_t(0); };
    api.DLLClose = [] {};
    return api;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

long peakRssKiB()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

} // namespace

int main(int argc, char **argv)
{
    QElapsedTimer total;
    total.start();
    pnv::registerPictureClasses();
    QApplication app(argc, argv);
    pnv::setUpApplication(app);
    const double appMs = total.nsecsElapsed() / 1e6;

    constexpr int kRuns = 21;
    std::vector<double> shownMs, resetMs;
    double firstShownMs = 0;
    for (int run = 0; run < kRuns; ++run) {
        QElapsedTimer clock;
        clock.start();
        TForm_Main window(idleLibrary(), "libtessalin.so");
        window.show();
        if (!QTest::qWaitForWindowExposed(&window))
            return 1;
        const double shown = clock.nsecsElapsed() / 1e6;
        if (run == 0)
            firstShownMs = shown;   // fonts and styles are loaded once
        else
            shownMs.push_back(shown);

        clock.restart();
        window.findChild<QTabWidget *>(QStringLiteral("PC_Main"))->setCurrentIndex(1);
        window.repaint();
        resetMs.push_back(clock.nsecsElapsed() / 1e6);
    }

    std::printf("application object and set-up      %8.1f ms\n", appMs);
    std::printf("window created and painted, first  %8.1f ms\n", firstShownMs);
    std::printf("window created and painted, median %8.1f ms (%d runs)\n", median(shownMs), kRuns - 1);
    std::printf("reset page first shown, median     %8.1f ms (decodes four pictures)\n", median(resetMs));
    std::printf("peak resident memory               %8ld KiB\n", peakRssKiB());
    return 0;
}
