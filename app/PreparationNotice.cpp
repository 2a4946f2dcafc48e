#include "PreparationNotice.h"

#include <QApplication>
#include <QPointer>
#include <QProgressDialog>

namespace pnv {
namespace {

QPointer<QProgressDialog> &dialog()
{
    static QPointer<QProgressDialog> current;
    return current;
}

template <typename Work>
void onTheWindowsThread(Work &&work)
{
    if (QCoreApplication *app = QCoreApplication::instance())
        QMetaObject::invokeMethod(app, std::forward<Work>(work), Qt::QueuedConnection);
}

} // namespace

void preparationStarted(const QString &line)
{
    onTheWindowsThread([line] {
        if (!dialog()) {
            auto *shown = new QProgressDialog(QApplication::activeWindow());
            shown->setWindowTitle(QCoreApplication::applicationName());
            shown->setWindowModality(Qt::ApplicationModal);
            shown->setCancelButton(nullptr);
            shown->setRange(0, 0);   // a busy indicator: how long it takes is not known
            shown->setMinimumDuration(0);
            dialog() = shown;
        }
        dialog()->setLabelText(line);
        dialog()->show();
    });
}

void preparationEnded()
{
    onTheWindowsThread([] {
        // Not close(): while a call runs, the window refuses every request to close.
        if (QProgressDialog *shown = dialog()) {
            shown->hide();
            shown->deleteLater();
            dialog() = nullptr;
        }
    });
}

} // namespace pnv
