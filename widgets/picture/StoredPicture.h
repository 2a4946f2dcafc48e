#pragma once
// The stored form of a picture inside a window definition: one byte giving the
// length of the class name, the class name, a 32-bit little-endian byte count,
// then that many bytes of the picture file.

#include "AppError.h"
#include "PictureClasses.h"

#include <QByteArray>
#include <memory>

class TGraphic;

namespace pnv {

// A stored picture that is cut short, names an unknown class or carries bytes
// beyond its count.
class StoredPictureError final : public AppError {
public:
    using AppError::AppError;
};

// Builds the picture the stored form describes and loads its bytes into it.
// Throws StoredPictureError for a malformed stored form and whatever the
// picture class throws for bytes it refuses. Never reads past the input.
std::unique_ptr<TGraphic> readStoredPicture(const QByteArray &stored,
                                            const PictureClassRegistry &registry = pictureClasses());

// The stored form of a picture file. Throws StoredPictureError when the class
// name is longer than 255 bytes or the file longer than 4 GB - 1.
QByteArray writeStoredPicture(const QString &className, const QByteArray &pictureBytes);

} // namespace pnv
