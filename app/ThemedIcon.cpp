#include "app/ThemedIcon.h"

#include <QIconEngine>
#include <QPainter>
#include <QPixmap>
#include <QPixmapCache>
#include <QSvgRenderer>

#include <memory>

using namespace Qt::StringLiterals;

namespace ebbcast {

namespace {

// How strong a disabled symbol is drawn.
constexpr double disabledOpacity = 0.38;

// Draws the SVG's shape, whatever its own colours, in one colour: the SVG first, then the colour over what it
// covered (the alpha of the SVG's antialiased edges is kept).
class SymbolIconEngine : public QIconEngine {
public:
    SymbolIconEngine(QString resource, QColor colour)
        : resource_(std::move(resource))
        , colour_(std::move(colour))
        , renderer_(std::make_shared<QSvgRenderer>(resource_))
    {}

    bool isValid() const { return renderer_->isValid(); }

    void paint(QPainter* painter, const QRect& rect, QIcon::Mode mode, QIcon::State) override
    {
        const qreal scale = painter->device() != nullptr ? painter->device()->devicePixelRatioF() : 1.0;
        painter->drawPixmap(rect, render((QSizeF(rect.size()) * scale).toSize(), mode, scale));
    }

    QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State) override
    {
        return render(size, mode, 1.0);
    }

    // QIcon asks for the device pixels: `size` is already scaled.
    QPixmap scaledPixmap(const QSize& size, QIcon::Mode mode, QIcon::State, qreal scale) override
    {
        return render(size, mode, scale);
    }

    QSize actualSize(const QSize& size, QIcon::Mode, QIcon::State) override { return size; }

    QIconEngine* clone() const override { return new SymbolIconEngine(*this); }

    QString key() const override { return u"ebbcast-symbol"_s; }

private:
    // The symbol at `pixels` device pixels, for a device of that pixel ratio.
    QPixmap render(const QSize& pixels, QIcon::Mode mode, qreal scale) const
    {
        if (pixels.isEmpty())
            return {};
        const bool disabled = mode == QIcon::Disabled;
        const QString key = u"ebbcast-symbol:%1:%2:%3x%4:%5"_s.arg(resource_, colour_.name(QColor::HexArgb))
                                .arg(pixels.width())
                                .arg(pixels.height())
                                .arg(disabled ? 1 : 0);
        QPixmap pixmap;
        if (!QPixmapCache::find(key, &pixmap)) {
            pixmap = QPixmap(pixels);
            pixmap.fill(Qt::transparent);
            QPainter painter(&pixmap);
            painter.setRenderHint(QPainter::Antialiasing);
            // The symbol keeps its proportions, centred.
            const QSizeF drawn = QSizeF(renderer_->defaultSize()).scaled(QSizeF(pixels), Qt::KeepAspectRatio);
            renderer_->render(&painter, QRectF(QPointF((pixels.width() - drawn.width()) / 2,
                                                       (pixels.height() - drawn.height()) / 2),
                                               drawn));
            painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
            QColor colour = colour_;
            if (disabled)
                colour.setAlphaF(colour.alphaF() * disabledOpacity);
            painter.fillRect(pixmap.rect(), colour);
            painter.end();
            QPixmapCache::insert(key, pixmap);
        }
        pixmap.setDevicePixelRatio(scale);
        return pixmap;
    }

    QString resource_;
    QColor colour_;
    std::shared_ptr<QSvgRenderer> renderer_;
};

} // namespace

QIcon themedIcon(const QStringList& themeNames, const QString& symbolResource, const QColor& colour)
{
    for (const QString& name : themeNames)
        if (QIcon::hasThemeIcon(name))
            return QIcon::fromTheme(name);
    return symbolIcon(symbolResource, colour);
}

QIcon symbolIcon(const QString& symbolResource, const QColor& colour)
{
    auto engine = std::make_unique<SymbolIconEngine>(symbolResource, colour);
    if (!engine->isValid())
        return {};
    return QIcon(engine.release());
}

} // namespace ebbcast
