#pragma once
// The picture classes a box can hold, found by class name (in a stored
// picture) or by file extension (in a picture file's name). The program
// registers its classes at start-up, before any window is built.

#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <vector>

class TGraphic;

namespace pnv {

struct PictureClass {
    QString className;
    QString description;
    QStringList extensions; // without the dot
    std::function<std::unique_ptr<TGraphic>()> create;
};

class PictureClassRegistry final {
public:
    // A class registered again under the same name replaces the earlier entry.
    void add(PictureClass pictureClass);
    const PictureClass *findByName(const QString &className) const;
    // Extensions match without regard to case; a leading dot is allowed.
    const PictureClass *findByExtension(QString extension) const;
    const std::vector<PictureClass> &classes() const { return m_classes; }

private:
    std::vector<PictureClass> m_classes;
};

// The registry that picture boxes consult.
PictureClassRegistry &pictureClasses();

// "TJPEGImage" under "jpeg" and "jpg", described as "JPEG Image File".
void registerJpegPictureClass(PictureClassRegistry &registry);

// The start-up registration of every picture class the program draws. Safe to
// call more than once.
void registerPictureClasses();

} // namespace pnv
