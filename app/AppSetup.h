#pragma once
class QApplication;

namespace pnv {

// What the application object needs before the window is created: its title,
// the font the window definition names (the application's font too), the
// icon, and where errors raised while drawing pictures are shown. The window's
// own style is taken unless the user chose one (-style, QT_STYLE_OVERRIDE).
void setUpApplication(QApplication &app, bool styleChosenByUser = false);

// "MS Sans Serif" does not exist here; the window definition keeps the name
// and this family stands in for it (closest in the widths of its texts).
inline constexpr const char *kWindowFontFamily = "MS Sans Serif";
inline constexpr const char *kWindowFontSubstitute = "DejaVu Sans Condensed";
inline constexpr int kWindowFontPointSize = 8;   // the definition's window font

} // namespace pnv
