// The floor for the utility's start-up: a bare main window of the utility's
// size, 785 x 836, with one label, shown until its first paint, then quit.
//   pnv3400-baseline-window [--both-pages]   (the option is taken and ignored,
//                                             so both programs run with the same command line)

#include "FirstPaint.h"

#include <QApplication>
#include <QLabel>
#include <QMainWindow>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QMainWindow window;
    window.resize(785, 836);
    window.setCentralWidget(new QLabel(QStringLiteral("PNV-3400"), &window));
    new QuitAfterPaints(&window, {});
    window.show();
    return app.exec();
}
