#include "AppSetup.h"

#include "ApplicationTitle.h"
#include "DeferredIcon.h"
#include "ErrorBox.h"
#include "TImage.h"

#include <QApplication>
#include <QFont>

namespace pnv {

void setUpApplication(QApplication &app, bool styleChosenByUser)
{
    // The classic style draws what the window is made of as it is meant to
    // look: captions set into the frames' top edges, sunken fields, raised
    // panels. A style the user asks for by -style or QT_STYLE_OVERRIDE wins.
    if (!styleChosenByUser && qEnvironmentVariableIsEmpty("QT_STYLE_OVERRIDE"))
        QApplication::setStyle(QStringLiteral("Windows"));
    QCoreApplication::setApplicationName(applicationTitleFor(QCoreApplication::applicationFilePath()));
    // Under X11 the application name is the window's class, which the desktop
    // entry's StartupWMClass names; under Wayland the desktop file name is the
    // window's application id.
    QGuiApplication::setDesktopFileName(QStringLiteral("pnv3400-setup"));
    QFont::insertSubstitution(QString::fromLatin1(kWindowFontFamily), QString::fromLatin1(kWindowFontSubstitute));
    // The window's own font is the application's too: the error box and the
    // fields' menus then read like the window, and no second face is loaded
    // at start (every line edit first lays itself out in the application's
    // font, before it takes the one its window gives it).
    QApplication::setFont(QFont(QString::fromLatin1(kWindowFontFamily), kWindowFontPointSize));
    app.setWindowIcon(deferredPngIcon(QStringLiteral(":/icons/app-icon.png")));
    TImage::setErrorPresenter([](const AppError &error) { showErrorBox(error); });
}

} // namespace pnv
