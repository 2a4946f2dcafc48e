#include "PictureFile.h"

#include "AppError.h"
#include "TGraphic.h"

#include <QFile>
#include <QFileInfo>

namespace pnv {

std::unique_ptr<TGraphic> readPictureFile(const QString &path, const PictureClassRegistry &registry)
{
    const PictureClass *pictureClass = registry.findByExtension(QFileInfo(path).suffix());
    if (!pictureClass)
        throw AppError(QStringLiteral("'%1' is not a registered picture file type").arg(path));

    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw AppError(QStringLiteral("Cannot read picture file '%1'").arg(path));
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError)
        throw AppError(QStringLiteral("Cannot read picture file '%1'").arg(path));

    std::unique_ptr<TGraphic> picture = pictureClass->create();
    picture->loadFromBytes(bytes);
    return picture;
}

} // namespace pnv
