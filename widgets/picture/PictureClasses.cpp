#include "PictureClasses.h"

#include "TJPEGImage.h"

#include <algorithm>

namespace pnv {

void PictureClassRegistry::add(PictureClass pictureClass)
{
    auto same = std::find_if(m_classes.begin(), m_classes.end(), [&](const PictureClass &known) {
        return known.className == pictureClass.className;
    });
    if (same != m_classes.end())
        *same = std::move(pictureClass);
    else
        m_classes.push_back(std::move(pictureClass));
}

const PictureClass *PictureClassRegistry::findByName(const QString &className) const
{
    for (const PictureClass &known : m_classes) {
        if (known.className == className)
            return &known;
    }
    return nullptr;
}

const PictureClass *PictureClassRegistry::findByExtension(QString extension) const
{
    if (extension.startsWith(QLatin1Char('.')))
        extension.remove(0, 1);
    if (extension.isEmpty())
        return nullptr;
    for (const PictureClass &known : m_classes) {
        if (known.extensions.contains(extension, Qt::CaseInsensitive))
            return &known;
    }
    return nullptr;
}

PictureClassRegistry &pictureClasses()
{
    static PictureClassRegistry registry;
    return registry;
}

void registerJpegPictureClass(PictureClassRegistry &registry)
{
    registry.add({QStringLiteral("TJPEGImage"), QStringLiteral("JPEG Image File"),
                  {QStringLiteral("jpeg"), QStringLiteral("jpg")},
                  [] { return std::make_unique<TJPEGImage>(); }});
}

void registerPictureClasses()
{
    registerJpegPictureClass(pictureClasses());
}

} // namespace pnv
