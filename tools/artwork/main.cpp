// pnv3400-artwork OUTPUT_FOLDER
// Draws the reset page's pictures and the application icon into the folder,
// the icon also at the desktop's sizes under icons/.
// The same sources give the same bytes on every run.

#include "AppError.h"
#include "JpegWriter.h"
#include "ResetArtwork.h"

#include <QBuffer>
#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QSaveFile>
#include <QTextStream>

namespace {

void writeFile(const QDir &folder, const QString &name, const QByteArray &bytes)
{
    QSaveFile file(folder.filePath(name));
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit())
        throw pnv::AppError(QStringLiteral("Cannot write %1: %2").arg(file.fileName(), file.errorString()));
}

QByteArray pngBytes(const QImage &image)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    if (!image.save(&buffer, "PNG"))
        throw pnv::AppError(QStringLiteral("Cannot encode the icon as PNG"));
    return bytes;
}

} // namespace

int main(int argc, char **argv)
{
    // Drawing needs fonts but no display; the offscreen platform also keeps
    // the glyph rendering the same wherever the program runs.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    QTextStream err(stderr);
    const QStringList args = app.arguments();
    if (args.size() != 2) {
        err << "usage: pnv3400-artwork OUTPUT_FOLDER\n";
        return 2;
    }
    const QDir folder(args.at(1));
    try {
        if (!folder.exists())
            throw pnv::AppError(QStringLiteral("No such folder: %1").arg(folder.path()));
        for (const pnv::ArtworkPicture &picture : pnv::resetPictures()) {
            pnv::JpegWriteOptions options;
            options.chroma = picture.chroma;
            writeFile(folder, picture.fileName, pnv::encodeJpeg(picture.draw(picture), options));
        }
        writeFile(folder, pnv::appIconFileName(), pngBytes(pnv::drawAppIcon()));
        for (int size : pnv::desktopIconSizes()) {
            const QString name = pnv::desktopIconFileName(size);
            if (!folder.mkpath(QFileInfo(name).path()))
                throw pnv::AppError(QStringLiteral("Cannot create the folder of %1").arg(folder.filePath(name)));
            writeFile(folder, name, pngBytes(pnv::drawAppIcon(size)));
        }
    } catch (const pnv::AppError &error) {
        err << error.message() << '\n';
        return 1;
    }
    return 0;
}
