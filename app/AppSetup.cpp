#include "AppSetup.h"

#include "ApplicationTitle.h"
#include "ErrorBox.h"
#include "TImage.h"

#include <QApplication>
#include <QFont>
#include <QIcon>
#include <QImageReader>
#include <QPixmap>

namespace pnv {

void setUpApplication(QApplication &app)
{
    // The classic style draws what the window is made of as it is meant to
    // look: captions set into the frames' top edges, sunken fields, raised
    // panels. A style the user asks for by QT_STYLE_OVERRIDE still wins.
    if (qEnvironmentVariableIsEmpty("QT_STYLE_OVERRIDE"))
        QApplication::setStyle(QStringLiteral("Windows"));
    QCoreApplication::setApplicationName(applicationTitleFor(QCoreApplication::applicationFilePath()));
    // Under X11 the application name is the window's class, which the desktop
    // entry's StartupWMClass names; under Wayland the desktop file name is the
    // window's application id.
    QGuiApplication::setDesktopFileName(QStringLiteral("pnv3400-setup"));
    QFont::insertSubstitution(QString::fromLatin1(kWindowFontFamily), QString::fromLatin1(kWindowFontSubstitute));
    // Read as PNG, nothing else: a reader left to detect the format (as for
    // an icon made from a file name) loads every image-format plugin Qt has
    // (gif, ico, jpeg, ...) only to ask each whether it reads the file.
    QImageReader icon(QStringLiteral(":/icons/app-icon.png"), "png");
    icon.setAutoDetectImageFormat(false);
    app.setWindowIcon(QIcon(QPixmap::fromImage(icon.read())));
    TImage::setErrorPresenter([](const AppError &error) { showErrorBox(error); });
}

} // namespace pnv
