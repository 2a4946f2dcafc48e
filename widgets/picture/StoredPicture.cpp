#include "StoredPicture.h"

#include "TGraphic.h"

#include <QtEndian>
#include <limits>

namespace pnv {

std::unique_ptr<TGraphic> readStoredPicture(const QByteArray &stored, const PictureClassRegistry &registry)
{
    const qsizetype total = stored.size();
    if (total < 1)
        throw StoredPictureError(QStringLiteral("Stored picture is cut short in its class name"));
    const int nameLength = static_cast<unsigned char>(stored.at(0));
    if (total < 1 + nameLength)
        throw StoredPictureError(QStringLiteral("Stored picture is cut short in its class name"));
    const QString className = QString::fromLatin1(stored.constData() + 1, nameLength);

    const PictureClass *pictureClass = registry.findByName(className);
    if (!pictureClass)
        throw StoredPictureError(QStringLiteral("Stored picture names an unregistered picture class '%1'")
                                     .arg(className));

    const qsizetype countAt = 1 + nameLength;
    if (total - countAt < 4)
        throw StoredPictureError(QStringLiteral("Stored picture is cut short in its byte count"));
    const quint32 count = qFromLittleEndian<quint32>(stored.constData() + countAt);

    const qsizetype dataAt = countAt + 4;
    const qsizetype present = total - dataAt;
    if (qint64(present) < qint64(count))
        throw StoredPictureError(QStringLiteral("Stored picture is cut short: %1 of %2 picture bytes present")
                                     .arg(present)
                                     .arg(count));
    if (qint64(present) > qint64(count))
        throw StoredPictureError(QStringLiteral("Stored picture has %1 bytes after its picture data")
                                     .arg(qint64(present) - qint64(count)));

    std::unique_ptr<TGraphic> picture = pictureClass->create();
    picture->loadFromBytes(stored.mid(dataAt));
    return picture;
}

QByteArray writeStoredPicture(const QString &className, const QByteArray &pictureBytes)
{
    const QByteArray name = className.toLatin1();
    if (name.size() > 255)
        throw StoredPictureError(QStringLiteral("Picture class name '%1' is longer than 255 bytes").arg(className));
    if (quint64(pictureBytes.size()) > std::numeric_limits<quint32>::max())
        throw StoredPictureError(QStringLiteral("Picture of %1 bytes is too large to store").arg(pictureBytes.size()));

    QByteArray stored;
    stored.reserve(1 + name.size() + 4 + pictureBytes.size());
    stored.append(static_cast<char>(name.size()));
    stored.append(name);
    char count[4];
    qToLittleEndian<quint32>(static_cast<quint32>(pictureBytes.size()), count);
    stored.append(count, 4);
    stored.append(pictureBytes);
    return stored;
}

} // namespace pnv
