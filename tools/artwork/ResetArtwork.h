#pragma once
// The reset page's four pictures and the application icon, drawn as
// technical illustrations so that anyone can redraw them from source.
//
// Each reset picture is its box's size rounded up to whole coding blocks,
// white except where the illustration sits in its top-left corner: the page's
// picture boxes show that corner one pixel to one pixel, and a picture larger
// than its box would only be decoded to be clipped away. How far the
// illustration reaches past a box's edge, or stops short of it, is part of
// the design (see illustrationSize).

#include "JpegWriter.h"

#include <QImage>
#include <QSize>
#include <QString>

#include <vector>

namespace pnv {

struct ArtworkPicture {
    QString fileName;
    QSize pictureSize;      // the whole picture, white around the illustration
    QSize illustrationSize; // the drawn top-left area
    QSize boxSize;          // the page's box that shows the picture
    ChromaSampling chroma;
    QImage (*draw)(const ArtworkPicture &self);
};

// The four reset steps, in step order.
const std::vector<ArtworkPicture> &resetPictures();
// The size a picture is stored at for a box: the box in whole coding blocks.
QSize boxInWholeBlocks(QSize box, ChromaSampling chroma);

inline constexpr int appIconSize = 80;
QString appIconFileName();
// size x size, 24-bit colour; the window uses it at 80 x 80.
QImage drawAppIcon(int size = appIconSize);

// The desktop's icon theme sizes, and where in the output folder each goes.
const std::vector<int> &desktopIconSizes();
QString desktopIconFileName(int size);

} // namespace pnv
