#include "PictureFile.h"

#include "AppError.h"
#include "TGraphic.h"

#include <QFile>
#include <QFileInfo>
#include <QResource>

namespace pnv {

std::unique_ptr<TGraphic> readPictureFile(const QString &path, const PictureClassRegistry &registry)
{
    const PictureClass *pictureClass = registry.findByExtension(QFileInfo(path).suffix());
    if (!pictureClass)
        throw AppError(QStringLiteral("'%1' is not a registered picture file type").arg(path));

    std::unique_ptr<TGraphic> picture = pictureClass->create();
    // A picture compiled into the program is read where it lies: the bytes
    // stay in the program's image for as long as it runs.
    if (path.startsWith(u':')) {
        const QResource resource(path);
        if (resource.isValid() && resource.compressionAlgorithm() == QResource::NoCompression && resource.data()) {
            picture->loadFromBytes(QByteArray::fromRawData(reinterpret_cast<const char *>(resource.data()),
                                                           static_cast<qsizetype>(resource.size())));
            return picture;
        }
    }

    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw AppError(QStringLiteral("Cannot read picture file '%1'").arg(path));
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError)
        throw AppError(QStringLiteral("Cannot read picture file '%1'").arg(path));

    picture->loadFromBytes(bytes);
    return picture;
}

} // namespace pnv
