#include "DeferredIcon.h"

#include <QIconEngine>
#include <QImageReader>
#include <QPixmap>

#include <optional>

namespace pnv {
namespace {

class DeferredPngIconEngine final : public QIconEngine {
public:
    explicit DeferredPngIconEngine(QString path) : m_path(std::move(path)) {}

    void paint(QPainter *painter, const QRect &rect, QIcon::Mode mode, QIcon::State state) override
    {
        loaded().paint(painter, rect, Qt::AlignCenter, mode, state);
    }
    QPixmap pixmap(const QSize &size, QIcon::Mode mode, QIcon::State state) override
    {
        return loaded().pixmap(size, mode, state);
    }
    QSize actualSize(const QSize &size, QIcon::Mode mode, QIcon::State state) override
    {
        return loaded().actualSize(size, mode, state);
    }
    QList<QSize> availableSizes(QIcon::Mode mode, QIcon::State state) override
    {
        return loaded().availableSizes(mode, state);
    }
    // Asked as the icon is set, before anyone wants its pixels.
    bool isNull() override { return m_path.isEmpty(); }
    QString key() const override { return QStringLiteral("pnv.deferred-png"); }
    QIconEngine *clone() const override { return new DeferredPngIconEngine(*this); }

private:
    const QIcon &loaded()
    {
        if (!m_icon) {
            // Read as PNG, nothing else: a reader left to detect the format
            // loads every image-format plugin Qt has (gif, ico, jpeg, ...)
            // only to ask each whether it reads the file.
            QImageReader reader(m_path, "png");
            reader.setAutoDetectImageFormat(false);
            m_icon = QIcon(QPixmap::fromImage(reader.read()));
        }
        return *m_icon;
    }

    QString m_path;
    std::optional<QIcon> m_icon;
};

} // namespace

QIcon deferredPngIcon(const QString &path) { return QIcon(new DeferredPngIconEngine(path)); }

} // namespace pnv
