#pragma once
// A picture that a TImage box can hold. The box owns it, loads it from the
// bytes of a picture file and asks it to draw itself; each kind of picture
// (so far only TJPEGImage) decides when it decodes.

#include <QByteArray>
#include <QSize>

class QPainter;

class TGraphic {
public:
    TGraphic() = default;
    virtual ~TGraphic() = default;
    TGraphic(const TGraphic &) = delete;
    TGraphic &operator=(const TGraphic &) = delete;

    // Takes the bytes of a picture file. Throws pnv::AppError when they are
    // not a picture of this kind; the picture is then left empty.
    virtual void loadFromBytes(const QByteArray &bytes) = 0;

    virtual QSize size() const = 0;

    // Draws the picture's top-left corner at (0, 0), one picture pixel to one
    // device pixel. screenDepth is the bits per pixel of the display. Throws
    // pnv::AppError when the picture cannot be drawn.
    virtual void draw(QPainter &painter, int screenDepth) = 0;
};
