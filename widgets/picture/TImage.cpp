#include "TImage.h"

#include "PictureFile.h"
#include "StoredPicture.h"

#include <QCoreApplication>
#include <QPainter>
#include <QtDebug>

namespace {

void logError(const pnv::AppError &error)
{
    qWarning().noquote() << pnv::errorBoxText(error.message());
}

TImage::ErrorPresenter &currentPresenter()
{
    static TImage::ErrorPresenter presenter = logError;
    return presenter;
}

void present(const std::exception_ptr &error)
{
    // A copy: the presenter may replace itself while it runs.
    const TImage::ErrorPresenter presenter = currentPresenter();
    try {
        std::rethrow_exception(error);
    } catch (const pnv::AppError &appError) {
        presenter(appError);
    } catch (const std::exception &other) {
        presenter(pnv::AppError(QString::fromLocal8Bit(other.what())));
    }
}

} // namespace

TImage::TImage(QWidget *parent)
    : QWidget(parent)
{
}

TImage::~TImage() = default;

void TImage::setPicture(const QString &path)
{
    m_picturePath = path;
    if (path.isEmpty())
        setGraphic(nullptr);
    else
        load([&path] { return pnv::readPictureFile(path); });
}

void TImage::setStoredPicture(const QByteArray &stored)
{
    m_picturePath.clear();
    load([&stored] { return pnv::readStoredPicture(stored); });
}

void TImage::setGraphic(std::unique_ptr<TGraphic> graphic)
{
    m_graphic = std::move(graphic);
    m_drawingFailed = false;
    update();
}

void TImage::load(const std::function<std::unique_ptr<TGraphic>()> &read)
{
    try {
        setGraphic(read());
    } catch (...) {
        setGraphic(nullptr);
        reportLater(std::current_exception());
    }
}

TImage::ErrorPresenter TImage::setErrorPresenter(ErrorPresenter presenter)
{
    ErrorPresenter previous = std::move(currentPresenter());
    currentPresenter() = presenter ? std::move(presenter) : ErrorPresenter(logError);
    return previous;
}

void TImage::reportLater(std::exception_ptr error)
{
    QCoreApplication *app = QCoreApplication::instance();
    if (!app) {
        present(error);
        return;
    }
    QMetaObject::invokeMethod(app, [error] { present(error); }, Qt::QueuedConnection);
}

void TImage::paintEvent(QPaintEvent *)
{
    if (!m_graphic || m_drawingFailed)
        return;
    QPainter painter(this);
    try {
        m_graphic->draw(painter, depth());
    } catch (...) {
        m_drawingFailed = true;
        reportLater(std::current_exception());
    }
}
