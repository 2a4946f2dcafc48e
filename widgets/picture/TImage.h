#pragma once
// A picture box: draws the picture it holds at its top-left corner, one
// picture pixel to one screen pixel, clipped to the box, never stretched,
// centred or sized to the picture.
//
// A picture that cannot be loaded or drawn is reported through the error
// presenter and the box then stays empty. A picture that fails to draw is not
// tried again on later repaints (each repaint would otherwise raise another
// error box over the last one); loading a picture anew clears that.
//
// Reports are delivered from the event loop after the load or paint that
// raised them, never from inside painting, and no exception ever leaves a
// paint event.

#include "AppError.h"
#include "TGraphic.h"

#include <QWidget>

#include <exception>
#include <functional>
#include <memory>

class TImage final : public QWidget {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(TImage)
    // A picture file or resource path, for window definitions; the extension
    // picks the picture class (see pnv::registerPictureClasses).
    Q_PROPERTY(QString Picture READ picture WRITE setPicture)

public:
    using ErrorPresenter = std::function<void(const pnv::AppError &)>;

    explicit TImage(QWidget *parent = nullptr);
    ~TImage() override;

    QString picture() const { return m_picturePath; }
    void setPicture(const QString &path);
    // A picture in its stored form (class name, byte count, file bytes).
    void setStoredPicture(const QByteArray &stored);
    void setGraphic(std::unique_ptr<TGraphic> graphic);

    TGraphic *graphic() const { return m_graphic.get(); }
    bool drawingFailed() const { return m_drawingFailed; }

    // Replaces the hook that shows picture errors; the application sets its
    // error box here. Returns the hook it replaces. The default writes the
    // message to the Qt warning log. The hook must not throw.
    static ErrorPresenter setErrorPresenter(ErrorPresenter presenter);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    void load(const std::function<std::unique_ptr<TGraphic>()> &read);
    static void reportLater(std::exception_ptr error);

    std::unique_ptr<TGraphic> m_graphic;
    QString m_picturePath;
    bool m_drawingFailed = false;
};
