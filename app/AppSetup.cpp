#include "AppSetup.h"

#include "ApplicationTitle.h"
#include "ErrorBox.h"
#include "TImage.h"

#include <QApplication>
#include <QFont>
#include <QIcon>

namespace pnv {

void setUpApplication(QApplication &app)
{
    QCoreApplication::setApplicationName(applicationTitleFor(QCoreApplication::applicationFilePath()));
    QFont::insertSubstitution(QString::fromLatin1(kWindowFontFamily), QString::fromLatin1(kWindowFontSubstitute));
    app.setWindowIcon(QIcon(QStringLiteral(":/icons/app-icon.png")));
    TImage::setErrorPresenter([](const AppError &error) { showErrorBox(error); });
}

} // namespace pnv
