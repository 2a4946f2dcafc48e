// The utility's own start-up, exactly as its main() does it (the picture
// classes, the device library bound from beside the program, the application
// set up, the window created from its definition), ended at the window's first
// paint; with --both-pages the reset page is then brought to the front and
// painted (decoding its four pictures) before the quit.
//   pnv3400-bench-firstpaint [--both-pages]

#include "AppSetup.h"
#include "FirstPaint.h"
#include "PictureClasses.h"
#include "TForm_Main.h"
#include "TessalinBinding.h"

#include <QApplication>
#include <QTabWidget>

#include <cstdio>
#include <cstring>

int main(int argc, char **argv)
{
    const bool bothPages = argc > 1 && std::strcmp(argv[1], "--both-pages") == 0;
    pnv::registerPictureClasses();
    auto bound = pnv::TessalinLibrary::load();
    if (!bound.library) {
        std::fprintf(stderr, "cannot bind the device library: %s\n", bound.error.c_str());
        return 1;
    }
    QApplication app(argc, argv);
    pnv::setUpApplication(app);
    TForm_Main form(bound.library->api(), bound.library->path());
    std::vector<std::function<void()>> steps;
    if (bothPages)
        steps.push_back([&form] { form.findChild<QTabWidget *>(QStringLiteral("PC_Main"))->setCurrentIndex(1); });
    new QuitAfterPaints(&form, steps);
    form.show();
    return app.exec();
}
