#pragma once
// Pictures kept as files, resource files (":/pictures/...") included. The file
// name's extension picks the registered picture class.

#include "PictureClasses.h"

#include <QString>
#include <memory>

class TGraphic;

namespace pnv {

// Throws AppError when the file cannot be read or its extension names no
// registered class, and whatever the class throws for bytes it refuses.
std::unique_ptr<TGraphic> readPictureFile(const QString &path,
                                          const PictureClassRegistry &registry = pictureClasses());

} // namespace pnv
