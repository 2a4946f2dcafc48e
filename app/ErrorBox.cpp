#include "ErrorBox.h"

#include <QApplication>
#include <QMessageBox>

namespace pnv {
namespace {

void showModalBox(const QString &title, const QString &text)
{
    QMessageBox box(QMessageBox::Critical, title, text, QMessageBox::Ok, QApplication::activeWindow());
    box.exec();
}

ErrorPresenter &presenter()
{
    static ErrorPresenter current = showModalBox;
    return current;
}

} // namespace

void showErrorBox(const AppError &error)
{
    presenter()(QCoreApplication::applicationName(), errorBoxText(error.message()));
}

ErrorPresenter setErrorPresenter(ErrorPresenter replacement)
{
    ErrorPresenter previous = presenter();
    presenter() = replacement ? std::move(replacement) : ErrorPresenter(showModalBox);
    return previous;
}

} // namespace pnv
