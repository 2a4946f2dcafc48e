// Times what the reset page costs when it is first shown: reading the four
// JPEG headers (at window creation), decoding each picture at full size (first
// paint), and a repaint that reuses the bitmap; and the memory the bitmaps
// hold for the rest of the program's life.

#include "JpegDecoder.h"
#include "PictureClasses.h"
#include "TImage.h"
#include "TJPEGImage.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTextStream>

#include <sys/resource.h>

#include <algorithm>
#include <functional>
#include <vector>

namespace {

struct Step {
    const char *file;
    QSize box;
};

const Step steps[] = {{"reset-step1.jpg", {177, 193}},
                      {"reset-step2.jpg", {177, 65}},
                      {"reset-step3.jpg", {185, 65}},
                      {"reset-step4.jpg", {126, 201}}};

// Median of several runs, in microseconds.
double medianMicros(int runs, const std::function<void()> &work)
{
    std::vector<double> times;
    for (int i = 0; i < runs; ++i) {
        QElapsedTimer timer;
        timer.start();
        work();
        times.push_back(timer.nsecsElapsed() / 1000.0);
    }
    std::nth_element(times.begin(), times.begin() + runs / 2, times.end());
    return times[runs / 2];
}

long maxResidentKiB()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    pnv::registerPictureClasses();
    QApplication app(argc, argv);
    const QDir folder(app.arguments().value(1, QStringLiteral(PNV_RESOURCES_DIR)));
    QTextStream out(stdout);
    constexpr int runs = 25;

    out << "picture          bytes   size        header_us  decode24_us  decode8_us  first_paint_us  repaint_us  "
           "bitmap_KiB\n";
    qint64 bitmapTotal = 0;
    const long residentBefore = maxResidentKiB();
    std::vector<std::unique_ptr<TImage>> boxes; // kept, as the page keeps them
    for (const Step &step : steps) {
        QFile file(folder.filePath(step.file));
        if (!file.open(QIODevice::ReadOnly)) {
            out << "cannot read " << file.fileName() << '\n';
            return 1;
        }
        const QByteArray jpeg = file.readAll();
        const double header = medianMicros(runs, [&] { pnv::readJpegHeader(jpeg); });
        const double decode24 = medianMicros(runs, [&] { pnv::decodeJpeg(jpeg, pnv::JpegPixels::Rgb24); });
        const double decode8 = medianMicros(runs, [&] { pnv::decodeJpeg(jpeg, pnv::JpegPixels::Indexed8); });

        auto box = std::make_unique<TImage>();
        box->resize(step.box);
        box->setPicture(folder.filePath(step.file));
        QElapsedTimer timer;
        timer.start();
        box->grab();
        const double firstPaint = timer.nsecsElapsed() / 1000.0;
        const double repaint = medianMicros(runs, [&] { box->grab(); });
        auto *picture = dynamic_cast<TJPEGImage *>(box->graphic());
        const qint64 bitmapBytes = picture ? picture->bitmap(32).sizeInBytes() : 0;
        bitmapTotal += bitmapBytes;
        boxes.push_back(std::move(box));

        out << qSetFieldWidth(16) << Qt::left << step.file << qSetFieldWidth(0) << ' ' << qSetFieldWidth(6)
            << Qt::right << jpeg.size() << qSetFieldWidth(0) << "  " << qSetFieldWidth(10) << Qt::left
            << QStringLiteral("%1x%2").arg(picture ? picture->size().width() : 0).arg(picture ? picture->size().height() : 0)
            << qSetFieldWidth(11) << Qt::right << qRound(header) << qSetFieldWidth(13) << qRound(decode24)
            << qSetFieldWidth(12) << qRound(decode8) << qSetFieldWidth(16) << qRound(firstPaint)
            << qSetFieldWidth(12) << qRound(repaint) << qSetFieldWidth(12) << bitmapBytes / 1024
            << qSetFieldWidth(0) << '\n';
    }
    out << "bitmaps held: " << bitmapTotal / 1024 << " KiB; peak resident set grew by "
        << (maxResidentKiB() - residentBefore) << " KiB (medians of " << runs << " runs)\n";
    return 0;
}
