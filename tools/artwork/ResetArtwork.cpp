#include "ResetArtwork.h"

#include <QFont>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

namespace pnv {
namespace {

// Colours of the illustrations, shared so the pictures read as one set.
const QColor bench(0xdf, 0xe3, 0xe6);
const QColor boardGreen(0x2f, 0x7d, 0x3a);
const QColor boardEdge(0x1f, 0x5a, 0x28);
const QColor traceGreen(0x5f, 0xae, 0x5f);
const QColor caseLight(0xd9, 0xdd, 0xe1);
const QColor caseMid(0xc3, 0xc8, 0xcd);
const QColor caseDark(0xa9, 0xaf, 0xb5);
const QColor caseEdge(0x7d, 0x84, 0x8b);
const QColor chipBlack(0x1d, 0x1d, 0x1f);
const QColor pinSilver(0xc8, 0xcc, 0xd0);
const QColor cableBlack(0x1a, 0x1a, 0x1a);
const QColor cableYellow(0xf5, 0xc8, 0x00);
const QColor cableYellowEdge(0x8a, 0x6d, 0x00);
const QColor switchBlue(0x21, 0x50, 0xa8);
const QColor switchBlueDark(0x0f, 0x2c, 0x66);
const QColor slotDark(0x0c, 0x1d, 0x40);
const QColor sliderWhite(0xf4, 0xf4, 0xf4);
const QColor outlineRed(0xe0, 0x00, 0x00);
const QColor readerDark(0x2a, 0x2e, 0x35);
const QColor ledRed(0xe5, 0x39, 0x35);
const QColor ledGreen(0x43, 0xa0, 0x47);
const QColor ledYellow(0xfd, 0xd8, 0x35);

QImage whiteCanvas(QSize size)
{
    QImage canvas(size, QImage::Format_RGB32);
    canvas.fill(Qt::white);
    return canvas;
}

// Condensed DejaVu is on every build machine (fonts-dejavu-extra); grey-scale
// antialiasing only, so the bytes do not depend on a sub-pixel setting.
QFont artworkFont(int pixelSize, QFont::Weight weight = QFont::Bold,
                  const QString &family = QStringLiteral("DejaVu Sans Condensed"))
{
    QFont font(family);
    font.setPixelSize(pixelSize);
    font.setWeight(weight);
    font.setStyleStrategy(QFont::NoSubpixelAntialias);
    font.setHintingPreference(QFont::PreferFullHinting);
    return font;
}

// A crisp outline on whole pixels: the red marks must stay sharp after the
// JPEG's chroma halving, so callers keep them on even coordinates.
void outlineRect(QPainter &p, const QRect &r, int thickness, const QColor &colour)
{
    p.fillRect(QRect(r.left(), r.top(), r.width(), thickness), colour);
    p.fillRect(QRect(r.left(), r.bottom() - thickness + 1, r.width(), thickness), colour);
    p.fillRect(QRect(r.left(), r.top(), thickness, r.height()), colour);
    p.fillRect(QRect(r.right() - thickness + 1, r.top(), thickness, r.height()), colour);
}

void drawCable(QPainter &p, const QPainterPath &path, qreal width, const QColor &body, const QColor &edge,
               const QColor &shine)
{
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(edge, width + 2, Qt::SolidLine, Qt::FlatCap, Qt::RoundJoin));
    p.drawPath(path);
    p.setPen(QPen(body, width, Qt::SolidLine, Qt::FlatCap, Qt::RoundJoin));
    p.drawPath(path);
    p.setPen(QPen(shine, 1.2, Qt::SolidLine, Qt::FlatCap, Qt::RoundJoin));
    p.drawPath(path.translated(-width / 4, 0));
}

QPainterPath cablePath(QPointF from, QPointF to)
{
    QPainterPath path(from);
    path.cubicTo(from + QPointF(0, (to.y() - from.y()) * 0.6), to - QPointF(0, (to.y() - from.y()) * 0.6), to);
    return path;
}

void drawScrew(QPainter &p, QPointF centre, qreal radius)
{
    p.setPen(QPen(caseEdge, 0.8));
    p.setBrush(QColor(0xb0, 0xb6, 0xbc));
    p.drawEllipse(centre, radius, radius);
    p.setPen(QPen(QColor(0x5a, 0x60, 0x66), 1.0));
    p.drawLine(centre + QPointF(-radius * 0.6, 0), centre + QPointF(radius * 0.6, 0));
    p.drawLine(centre + QPointF(0, -radius * 0.6), centre + QPointF(0, radius * 0.6));
}

void drawLed(QPainter &p, QPointF centre, qreal radius, const QColor &colour)
{
    p.setPen(QPen(caseEdge, 1.0));
    p.setBrush(QColor(0x6e, 0x74, 0x7a));
    p.drawEllipse(centre, radius + 1.0, radius + 1.0);
    p.setPen(Qt::NoPen);
    p.setBrush(colour);
    p.drawEllipse(centre, radius, radius);
    p.setBrush(QColor(255, 255, 255, 170));
    p.drawEllipse(centre + QPointF(-radius * 0.35, -radius * 0.35), radius * 0.35, radius * 0.35);
}

void drawCardSymbol(QPainter &p, const QRectF &card)
{
    p.setPen(QPen(QColor(0xd5, 0xda, 0xdf), 1.4));
    p.setBrush(QColor(0x3b, 0x41, 0x4a));
    p.drawRoundedRect(card, 3, 3);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0xd4, 0xaf, 0x37)); // contact chip
    const QRectF chip(card.left() + card.width() * 0.14, card.top() + card.height() * 0.3, card.width() * 0.2,
                      card.height() * 0.28);
    p.drawRoundedRect(chip, 1, 1);
    p.setPen(QPen(QColor(0x8a, 0x70, 0x20), 0.7));
    p.drawLine(QPointF(chip.center().x(), chip.top()), QPointF(chip.center().x(), chip.bottom()));
    p.drawLine(QPointF(chip.left(), chip.center().y()), QPointF(chip.right(), chip.center().y()));
    p.setPen(QPen(QColor(0xd5, 0xda, 0xdf), 1.2));
    const qreal textLeft = card.left() + card.width() * 0.46;
    for (int line = 0; line < 2; ++line) {
        const qreal y = card.top() + card.height() * (0.36 + 0.22 * line);
        p.drawLine(QPointF(textLeft, y), QPointF(card.right() - card.width() * 0.12, y));
    }
    // insertion arrow below the card
    const qreal ax = card.center().x();
    const qreal ay = card.bottom() + 4;
    QPainterPath arrow;
    arrow.moveTo(ax - 4, ay);
    arrow.lineTo(ax + 4, ay);
    arrow.lineTo(ax, ay + 4);
    arrow.closeSubpath();
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0xd5, 0xda, 0xdf));
    p.drawPath(arrow);
}

void drawGrille(QPainter &p, QPointF origin, int columns, int rows, qreal spacing, qreal radius)
{
    p.setPen(Qt::NoPen);
    for (int r = 0; r < rows; ++r) {
        for (int c = 0; c < columns; ++c) {
            const QPointF hole = origin + QPointF(c * spacing + (r % 2) * spacing / 2, r * spacing * 0.87);
            p.setBrush(QColor(0x3a, 0x3f, 0x45));
            p.drawEllipse(hole, radius, radius);
        }
    }
}

void drawCaseTop(QPainter &p, const QRectF &body, qreal radius)
{
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0, 0, 0, 40));
    p.drawRoundedRect(body.translated(2, 2), radius, radius);
    QLinearGradient metal(body.topLeft(), body.bottomRight());
    metal.setColorAt(0.0, caseLight);
    metal.setColorAt(0.55, caseMid);
    metal.setColorAt(1.0, caseDark);
    p.setBrush(metal);
    p.setPen(QPen(caseEdge, 1.2));
    p.drawRoundedRect(body, radius, radius);
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(QColor(0xf2, 0xf4, 0xf6), 0.8));
    p.drawRoundedRect(body.adjusted(2, 2, -2, -2), radius - 1, radius - 1);
}

void drawChip(QPainter &p, const QRectF &body, bool pinsAllRound)
{
    p.setPen(QPen(pinSilver, 1.0));
    const qreal pitch = 3.0;
    for (qreal x = body.left() + 2.5; x < body.right() - 1; x += pitch) {
        p.drawLine(QPointF(x, body.top() - 2), QPointF(x, body.top()));
        p.drawLine(QPointF(x, body.bottom()), QPointF(x, body.bottom() + 2));
    }
    if (pinsAllRound) {
        for (qreal y = body.top() + 2.5; y < body.bottom() - 1; y += pitch) {
            p.drawLine(QPointF(body.left() - 2, y), QPointF(body.left(), y));
            p.drawLine(QPointF(body.right(), y), QPointF(body.right() + 2, y));
        }
    }
    p.setPen(QPen(QColor(0x3a, 0x3a, 0x3e), 0.8));
    p.setBrush(chipBlack);
    p.drawRect(body);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0x4a, 0x4a, 0x50));
    p.drawEllipse(body.topLeft() + QPointF(3, 3), 1.3, 1.3);
}

// ---- step 1: the opened encoder from above, its cover beside it ----------

void drawCircuitBoard(QPainter &p, const QRectF &board)
{
    p.setPen(QPen(boardEdge, 1.0));
    p.setBrush(boardGreen);
    p.drawRect(board);

    p.setPen(QPen(traceGreen, 0.9));
    p.setBrush(Qt::NoBrush);
    const qreal l = board.left(), t = board.top();
    const QPointF traces[][4] = {
        {{l + 20, t + 14}, {l + 20, t + 24}, {l + 14, t + 30}, {l + 14, t + 70}},
        {{l + 66, t + 18}, {l + 66, t + 26}, {l + 72, t + 32}, {l + 90, t + 32}},
        {{l + 46, t + 62}, {l + 46, t + 76}, {l + 56, t + 86}, {l + 56, t + 96}},
        {{l + 86, t + 56}, {l + 92, t + 62}, {l + 92, t + 84}, {l + 86, t + 90}},
        {{l + 20, t + 112}, {l + 40, t + 112}, {l + 48, t + 120}, {l + 48, t + 140}},
        {{l + 62, t + 112}, {l + 62, t + 126}, {l + 70, t + 134}, {l + 90, t + 134}},
    };
    for (const auto &trace : traces)
        p.drawPolyline(trace, 4);

    p.setPen(QPen(QColor(0x8f, 0x96, 0x9c), 0.8));
    p.setBrush(QColor(0xd0, 0xd4, 0xd8));
    for (const QPointF corner : {board.topLeft() + QPointF(5, 5), board.topRight() + QPointF(-5, 5),
                                 board.bottomLeft() + QPointF(5, -5), board.bottomRight() + QPointF(-5, -5)}) {
        p.drawEllipse(corner, 2.8, 2.8);
    }
}

void drawDipBlockFromAbove(QPainter &p, const QRect &block)
{
    p.setPen(QPen(switchBlueDark, 0.8));
    p.setBrush(switchBlue);
    p.drawRect(QRectF(block));
    p.setPen(Qt::NoPen);
    p.setBrush(sliderWhite);
    const qreal pitch = (block.width() - 4.0) / 10.0;
    for (int i = 0; i < 10; ++i) {
        const qreal x = block.left() + 2 + i * pitch + pitch * 0.2;
        p.drawRect(QRectF(x, block.top() + block.height() * 0.5, pitch * 0.6, block.height() * 0.38));
    }
}

void drawTopCover(QPainter &p, const QRectF &cover)
{
    drawCaseTop(p, cover, 5);
    const QRectF reader(cover.left() + 7, cover.top() + 40, cover.width() - 14, cover.height() * 0.38);
    p.setPen(QPen(QColor(0x15, 0x18, 0x1c), 1.0));
    p.setBrush(readerDark);
    p.drawRoundedRect(reader, 4, 4);
    drawCardSymbol(p, QRectF(reader.left() + 8, reader.top() + 14, reader.width() - 16, 24));
    drawGrille(p, QPointF(cover.left() + 10, cover.bottom() - 42), 4, 3, 5, 1.3);
    drawScrew(p, QPointF(cover.center().x(), cover.top() + 9), 2.6);
    // the light windows of the three LEDs
    for (int i = 0; i < 3; ++i)
        drawLed(p, QPointF(cover.right() - 26 + i * 8, cover.bottom() - 10), 2.2, QColor(0x9a, 0xa0, 0xa6));
}

struct CableRun {
    QPointF from;
    QPointF to;
};

// The black power cable and the yellow network cable coming in at the top
// edge, with the network plug's latch.
void drawCables(QPainter &p, CableRun power, CableRun network, const QRectF &plug)
{
    drawCable(p, cablePath(power.from, power.to), 6, cableBlack, QColor(0x05, 0x05, 0x05), QColor(0x55, 0x55, 0x5a));
    drawCable(p, cablePath(network.from, network.to), 7, cableYellow, cableYellowEdge, QColor(0xff, 0xe8, 0x80));
    p.setPen(QPen(cableYellowEdge, 0.8));
    p.setBrush(QColor(0xf7, 0xde, 0x6a));
    p.drawRoundedRect(plug, 1.5, 1.5);
}

// A photograph: the work bench behind the subject fills the illustrated
// top-left area; everything outside it stays white.
void beginPhotograph(QPainter &p, const ArtworkPicture &self)
{
    p.setRenderHint(QPainter::Antialiasing);
    const QRect area(QPoint(0, 0), self.illustrationSize);
    p.setClipRect(area);
    p.fillRect(area, bench);
}

QImage drawStep1(const ArtworkPicture &self)
{
    QImage canvas = whiteCanvas(self.pictureSize);
    QPainter p(&canvas);
    beginPhotograph(p, self);

    drawTopCover(p, QRectF(126, 14, 56, 180));
    drawScrew(p, QPointF(119, 8), 3.0); // the screw, taken out

    const QRectF tray(4, 22, 116, 174);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0, 0, 0, 40));
    p.drawRoundedRect(tray.translated(2, 2), 5, 5);
    QLinearGradient trayMetal(tray.topLeft(), tray.bottomRight());
    trayMetal.setColorAt(0, caseMid);
    trayMetal.setColorAt(1, caseDark);
    p.setBrush(trayMetal);
    p.setPen(QPen(caseEdge, 1.4));
    p.drawRoundedRect(tray, 5, 5);
    p.setBrush(QColor(0x97, 0x9d, 0xa3));
    p.setPen(Qt::NoPen);
    p.drawRoundedRect(tray.adjusted(3, 3, -3, -3), 3, 3);

    const QRectF board(10, 30, 104, 160);
    drawCircuitBoard(p, board);

    // connectors on the board's top edge, the cables plugged into them
    p.setPen(QPen(QColor(0x44, 0x44, 0x48), 0.8));
    p.setBrush(QColor(0x26, 0x26, 0x2a));
    p.drawRoundedRect(QRectF(22, 27, 16, 14), 1.5, 1.5);
    p.setBrush(QColor(0xb9, 0xbe, 0xc3));
    p.setPen(QPen(caseEdge, 0.8));
    p.drawRect(QRectF(62, 27, 24, 18));
    drawCables(p, {QPointF(24, -2), QPointF(30, 29)}, {QPointF(82, -2), QPointF(74, 26)}, QRectF(67, 22, 14, 12));

    drawChip(p, QRectF(22, 58, 30, 30), true);
    drawChip(p, QRectF(64, 58, 32, 14), false);
    drawChip(p, QRectF(64, 82, 18, 10), false);
    p.setPen(QPen(caseEdge, 0.8));
    p.setBrush(QColor(0xcf, 0xd3, 0xd7));
    p.drawRoundedRect(QRectF(86, 80, 16, 7), 3.5, 3.5); // crystal
    for (const QPointF c : {QPointF(94, 100), QPointF(104, 100), QPointF(22, 104)}) {
        p.setBrush(QColor(0x1c, 0x2a, 0x5c)); // capacitors seen from above
        p.drawEllipse(c, 4.2, 4.2);
        p.setPen(QPen(QColor(0x9a, 0xa4, 0xc0), 0.8));
        p.drawLine(c + QPointF(-2.5, 0), c + QPointF(2.5, 0));
        p.drawLine(c + QPointF(0, -2.5), c + QPointF(0, 2.5));
        p.setPen(QPen(caseEdge, 0.8));
    }
    p.setBrush(QColor(0xe8, 0xdf, 0xc8)); // pin header
    p.drawRect(QRectF(32, 98, 40, 8));
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0x8a, 0x80, 0x60));
    for (int i = 0; i < 10; ++i)
        p.drawEllipse(QPointF(34 + i * 4, 102), 0.9, 0.9);

    // the DIP switch block and its red mark
    drawDipBlockFromAbove(p, QRect(66, 120, 38, 12));
    outlineRect(p, QRect(60, 114, 50, 24), 2, outlineRed);

    // buzzer
    p.setPen(QPen(QColor(0x44, 0x44, 0x48), 0.8));
    p.setBrush(QColor(0x22, 0x22, 0x25));
    p.drawEllipse(QPointF(36, 152), 11, 11);
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(QColor(0x4a, 0x4a, 0x50), 0.8));
    p.drawEllipse(QPointF(36, 152), 7, 7);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0x05, 0x05, 0x05));
    p.drawEllipse(QPointF(36, 152), 2, 2);

    // resistors and the three LEDs at the board's bottom edge
    p.setPen(QPen(QColor(0x6b, 0x5a, 0x3a), 0.6));
    p.setBrush(QColor(0xd9, 0xc7, 0x9e));
    for (int i = 0; i < 4; ++i)
        p.drawRect(QRectF(62 + i * 10, 150, 6, 3));
    drawLed(p, QPointF(70, 178), 2.4, ledRed);
    drawLed(p, QPointF(80, 178), 2.4, ledGreen);
    drawLed(p, QPointF(90, 178), 2.4, ledYellow);
    return canvas;
}

// ---- steps 2 and 3: the DIP switch block close up ----------------------

void drawDipCloseUp(QPainter &p, QSize area, bool switch1On)
{
    p.fillRect(QRect(QPoint(0, 0), area), boardGreen);
    const qreal left = 3, top = 2, bodyHeight = 56;
    const qreal right = area.width() - 3;
    const qreal firstCentre = 13;
    const qreal pitch = (right - left - 2 * (firstCentre - left)) / 9.0;
    const auto centreOf = [&](int i) { return firstCentre + i * pitch; };

    // pins, pads and traces below the block (on the board)
    for (int i = 0; i < 10; ++i) {
        const qreal x = centreOf(i);
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(0xc9, 0xcd, 0xd1));
        p.drawRoundedRect(QRectF(x - 3.5, top + bodyHeight + 1, 7, 7), 2, 2);
        p.setBrush(pinSilver);
        p.drawRect(QRectF(x - 1.5, top + bodyHeight - 1, 3, 5));
        p.setPen(QPen(traceGreen, 1.6));
        p.drawLine(QPointF(x, top + bodyHeight + 8), QPointF(x, area.height() + 1));
    }

    const QRectF body(left, top, right - left, bodyHeight);
    QLinearGradient plastic(body.topLeft(), body.bottomLeft());
    plastic.setColorAt(0, switchBlue.lighter(118));
    plastic.setColorAt(1, switchBlue);
    p.setPen(QPen(switchBlueDark, 1.0));
    p.setBrush(plastic);
    p.drawRoundedRect(body, 2.5, 2.5);

    p.setPen(Qt::white);
    p.setFont(artworkFont(9));
    p.drawText(QRectF(firstCentre + pitch * 0.55, top, 30, 12), Qt::AlignLeft | Qt::AlignVCenter,
               QStringLiteral("ON"));
    QPainterPath arrow; // points to the ON side
    const qreal ax = firstCentre + pitch * 0.55 + 20, ay = top + 3;
    arrow.moveTo(ax, ay);
    arrow.lineTo(ax + 4, ay + 6);
    arrow.lineTo(ax - 4, ay + 6);
    arrow.closeSubpath();
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::white);
    p.drawPath(arrow);

    const qreal slotTop = top + 13, slotHeight = 27;
    p.setFont(artworkFont(9));
    for (int i = 0; i < 10; ++i) {
        const qreal x = centreOf(i);
        p.setPen(Qt::NoPen);
        p.setBrush(slotDark);
        p.drawRect(QRectF(x - 4.5, slotTop, 9, slotHeight));
        const bool on = i == 0 && switch1On;
        const QRectF slider(x - 3.5, on ? slotTop + 1 : slotTop + slotHeight - 12, 7, 11);
        p.setBrush(sliderWhite);
        p.drawRect(slider);
        p.setPen(QPen(QColor(0xb8, 0xbc, 0xc0), 0.8));
        for (int ridge = 0; ridge < 3; ++ridge) {
            const qreal y = slider.top() + 3 + ridge * 2.5;
            p.drawLine(QPointF(slider.left() + 1, y), QPointF(slider.right() - 1, y));
        }
        p.setPen(Qt::white);
        p.drawText(QRectF(x - 8, slotTop + slotHeight + 1, 16, 12), Qt::AlignCenter, QString::number(i + 1));
    }

    // switch 1 marked on even pixels, so halved chroma keeps the red sharp
    const int markLeft = (int(firstCentre) - 7) & ~1;
    outlineRect(p, QRect(markLeft, (int(slotTop) - 2) & ~1, 16, 44), 2, outlineRed);
}

QImage drawDipStep(const ArtworkPicture &self, bool switch1On)
{
    QImage canvas = whiteCanvas(self.pictureSize);
    QPainter p(&canvas);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);
    p.setClipRect(QRect(QPoint(0, 0), self.illustrationSize));
    drawDipCloseUp(p, self.illustrationSize, switch1On);
    return canvas;
}

QImage drawStep2(const ArtworkPicture &self)
{
    return drawDipStep(self, true);
}

QImage drawStep3(const ArtworkPicture &self)
{
    return drawDipStep(self, false);
}

// ---- step 4: the assembled encoder from above ---------------------------

QImage drawStep4(const ArtworkPicture &self)
{
    QImage canvas = whiteCanvas(self.pictureSize);
    QPainter p(&canvas);
    beginPhotograph(p, self);

    drawCables(p, {QPointF(34, -2), QPointF(40, 22)}, {QPointF(86, -2), QPointF(80, 20)}, QRectF(73, 14, 14, 10));
    p.setPen(QPen(QColor(0x44, 0x44, 0x48), 0.8));
    p.setBrush(QColor(0x26, 0x26, 0x2a));
    p.drawRoundedRect(QRectF(34, 16, 12, 8), 1.5, 1.5);

    const QRectF body(6, 20, 112, 172);
    drawCaseTop(p, body, 7);
    drawScrew(p, QPointF(62, 30), 3.0);

    const QRectF reader(18, 46, 88, 84);
    p.setPen(QPen(QColor(0x15, 0x18, 0x1c), 1.0));
    p.setBrush(readerDark);
    p.drawRoundedRect(reader, 6, 6);
    drawCardSymbol(p, QRectF(36, 66, 52, 32));

    drawGrille(p, QPointF(22, 146), 5, 4, 6, 1.6);

    drawLed(p, QPointF(72, 178), 3.4, ledRed);
    drawLed(p, QPointF(86, 178), 3.4, ledGreen);
    drawLed(p, QPointF(100, 178), 3.4, ledYellow);
    return canvas;
}

} // namespace

// The smallest picture that holds the box in whole coding blocks (8 pixels,
// 16 where chroma is halved). Every block the box touches is then coded from
// the same pixels as on a larger white canvas, so the box shows the same
// decoded pixels, while decoding costs little more than what is seen.
QSize boxInWholeBlocks(QSize box, ChromaSampling chroma)
{
    const int block = chroma == ChromaSampling::Halved ? 16 : 8;
    const auto roundUp = [block](int v) { return (v + block - 1) / block * block; };
    return {roundUp(box.width()), roundUp(box.height())};
}

const std::vector<ArtworkPicture> &resetPictures()
{
    // Step 1 reaches a little past its box on the right and at the bottom,
    // step 2 fills its box's width and runs a few rows below it, step 3 stops
    // five columns short of its box (a white strip) and runs well below it,
    // step 4 sits whole inside its box with two white columns and rows.
    const auto picture = [](const char *name, QSize illustration, QSize box, ChromaSampling chroma,
                            QImage (*draw)(const ArtworkPicture &)) {
        return ArtworkPicture{QString::fromLatin1(name), boxInWholeBlocks(box, chroma), illustration, box, chroma,
                              draw};
    };
    static const std::vector<ArtworkPicture> pictures = {
        picture("reset-step1.jpg", {184, 200}, {177, 193}, ChromaSampling::Full, drawStep1),
        picture("reset-step2.jpg", {177, 72}, {177, 65}, ChromaSampling::Halved, drawStep2),
        picture("reset-step3.jpg", {180, 76}, {185, 65}, ChromaSampling::Halved, drawStep3),
        picture("reset-step4.jpg", {124, 199}, {126, 201}, ChromaSampling::Halved, drawStep4),
    };
    return pictures;
}

QString appIconFileName()
{
    return QStringLiteral("app-icon.png");
}

namespace {

struct IconLayout {
    QRect name;       // "PNV"
    int namePixels;
    bool condensedName; // narrow letters where the full ones do not fit
    QRect mark;       // the red mark
    QRect number;     // "3400"; empty where it is left out
    int numberPixels;
};

// The 80 x 80 layout scaled to a size, font sizes in whole pixels so that
// hinting keeps the strokes on the pixel grid. Below 32 pixels "3400" would
// be a grey smear: the lettering and the mark alone fill the square there.
IconLayout iconLayout(int size)
{
    if (size < 32)
        return {QRect(0, 0, size, size * 11 / 16), size / 2, true, QRect(2, size * 3 / 4, size - 4, size / 16),
                QRect(), 0};
    const auto scaled = [size](int v) { return qRound(v * size / double(appIconSize)); };
    return {QRect(0, scaled(6), size, scaled(34)), scaled(30), false,
            QRect(scaled(12), scaled(44), scaled(56), scaled(4)),
            QRect(0, scaled(50), size, scaled(24)), scaled(20)};
}

} // namespace

QImage drawAppIcon(int size)
{
    const IconLayout layout = iconLayout(size);
    QImage canvas = whiteCanvas({size, size});
    QPainter p(&canvas);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);
    const QColor blue(0x1d, 0x4f, 0xb8);
    p.setPen(blue);
    p.setFont(layout.condensedName ? artworkFont(layout.namePixels, QFont::Black)
                                   : artworkFont(layout.namePixels, QFont::Black, QStringLiteral("DejaVu Sans")));
    p.drawText(layout.name, Qt::AlignCenter, QStringLiteral("PNV"));
    p.fillRect(layout.mark, outlineRed);
    if (!layout.number.isEmpty()) {
        p.setFont(artworkFont(layout.numberPixels, QFont::Bold));
        p.drawText(layout.number, Qt::AlignCenter, QStringLiteral("3400"));
    }
    p.end();
    return canvas.convertToFormat(QImage::Format_RGB888);
}

const std::vector<int> &desktopIconSizes()
{
    static const std::vector<int> sizes = {16, 32, 48, 64, 128, 256};
    return sizes;
}

QString desktopIconFileName(int size)
{
    return QStringLiteral("icons/pnv3400-setup-%1.png").arg(size);
}

} // namespace pnv
