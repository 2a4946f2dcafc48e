// The four reset pictures decoded by the utility's decoder and by plain
// libjpeg, in turn, round after round; prints one line per round:
// "OURS_US BASELINE_US" for the four pictures together. Each round times ten
// passes, so that one preemption on a shared machine does not make a round.
//   pnv3400-bench-decode [ROUNDS]

#include "JpegDecoder.h"

extern "C" {
#include "baseline_decode.h"
}

#include <QElapsedTimer>
#include <QFile>

#include <cstdio>
#include <vector>

int main(int argc, char **argv)
{
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 30;
    std::vector<QByteArray> files;
    for (const char *name : {"reset-step1.jpg", "reset-step2.jpg", "reset-step3.jpg", "reset-step4.jpg"}) {
        QFile file(QStringLiteral(PNV_RESOURCES_DIR "/") + QLatin1String(name));
        if (!file.open(QIODevice::ReadOnly))
            return 1;
        files.push_back(file.readAll());
    }
    QElapsedTimer clock;
    for (int round = 0; round < rounds; ++round) {
        constexpr int kPasses = 10;
        clock.start();
        for (int pass = 0; pass < kPasses; ++pass) {
            for (const QByteArray &jpeg : files) {
                if (pnv::decodeJpeg(jpeg, pnv::JpegPixels::Rgb24).isNull())
                    return 1;
            }
        }
        const double ours = clock.nsecsElapsed() / 1e3 / kPasses;
        clock.start();
        for (int pass = 0; pass < kPasses; ++pass) {
            for (const QByteArray &jpeg : files)
                plain_libjpeg_decode(reinterpret_cast<const unsigned char *>(jpeg.constData()), size_t(jpeg.size()));
        }
        const double baseline = clock.nsecsElapsed() / 1e3 / kPasses;
        std::printf("%.1f %.1f\n", ours, baseline);
    }
    return 0;
}
