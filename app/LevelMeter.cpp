#include "app/LevelMeter.h"

#include "app/ColourContrast.h"

#include <QAccessible>
#include <QAccessibleValueInterface>
#include <QAccessibleWidget>
#include <QEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QPainterPath>
#include <QTimer>

#include <algorithm>
#include <cmath>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

// Slightly over a thirtieth of a second, so that rounding never allows a 31st repaint in a second.
constexpr int repaintIntervalMs = 1000 / LevelMeter::maximumRepaintsPerSecond + 1;

// The meter as assistive technologies see it: a progress bar whose value is the percentage.
class LevelMeterAccessible : public QAccessibleWidget, public QAccessibleValueInterface {
public:
    explicit LevelMeterAccessible(QWidget* widget)
        : QAccessibleWidget(widget, QAccessible::ProgressBar)
    {}

    void* interface_cast(QAccessible::InterfaceType type) override
    {
        if (type == QAccessible::ValueInterface)
            return static_cast<QAccessibleValueInterface*>(this);
        return QAccessibleWidget::interface_cast(type);
    }

    QString text(QAccessible::Text type) const override
    {
        if (type == QAccessible::Value)
            return meter()->valueText();
        return QAccessibleWidget::text(type);
    }

    QVariant currentValue() const override { return meter()->percent(); }
    void setCurrentValue(const QVariant&) override {} // shown, not set
    QVariant maximumValue() const override { return 100; }
    QVariant minimumValue() const override { return 0; }
    QVariant minimumStepSize() const override { return 1; }

private:
    LevelMeter* meter() const { return static_cast<LevelMeter*>(widget()); }
};

QAccessibleInterface* levelMeterAccessible(const QString& className, QObject* object)
{
    if (className == QLatin1StringView(LevelMeter::staticMetaObject.className()) && object->isWidgetType())
        return new LevelMeterAccessible(static_cast<QWidget*>(object));
    return nullptr;
}

} // namespace

LevelMeter::LevelMeter(QWidget* parent)
    : QWidget(parent)
    , throttle_(new QTimer(this))
{
    static const bool factoryInstalled = [] {
        QAccessible::installFactory(levelMeterAccessible);
        return true;
    }();
    Q_UNUSED(factoryInstalled);
    throttle_->setSingleShot(true);
    connect(throttle_, &QTimer::timeout, this, &LevelMeter::repaintNow);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

void LevelMeter::setValue(double fraction)
{
    const double value = std::isnan(fraction) ? 0.0 : std::clamp(fraction, 0.0, 1.0);
    if (value == value_)
        return;
    value_ = value;
    if (!canBeSeen() || throttle_->isActive())
        return; // shown when it is seen next, or by the repaint already due
    if (!lastRepaint_.isValid() || lastRepaint_.elapsed() >= repaintIntervalMs)
        repaintNow();
    else
        throttle_->start(static_cast<int>(repaintIntervalMs - lastRepaint_.elapsed()));
}

int LevelMeter::percent() const
{
    return static_cast<int>(std::lround(value_ * 100.0));
}

QString LevelMeter::valueText() const
{
    return QString::number(percent()) + u" %"_s;
}

QSize LevelMeter::sizeHint() const
{
    return {220, minimumSizeHint().height()};
}

QSize LevelMeter::minimumSizeHint() const
{
    return {fontMetrics().horizontalAdvance(u"100 %"_s) + 48, std::max(fontMetrics().height(), 12) + 4};
}

bool LevelMeter::canBeSeen() const
{
    return isVisible() && !window()->isMinimized();
}

void LevelMeter::repaintNow()
{
    throttle_->stop();
    if (!canBeSeen())
        return;
    lastRepaint_.restart();
    update();
    if (percent() != announcedPercent_) {
        announcedPercent_ = percent();
        if (QAccessible::isActive()) {
            QAccessibleValueChangeEvent event(this, announcedPercent_);
            QAccessible::updateAccessibility(&event);
        }
    }
}

void LevelMeter::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    repaintNow();
}

void LevelMeter::changeEvent(QEvent* event)
{
    QWidget::changeEvent(event);
    if (event->type() == QEvent::PaletteChange || event->type() == QEvent::FontChange)
        update();
}

void LevelMeter::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QPalette& colours = palette();
    const QColor background = colours.color(backgroundRole());
    const QColor foreground = colours.color(foregroundRole());

    const QString text = valueText();
    const int textWidth = fontMetrics().horizontalAdvance(u"100 %"_s);
    const QRectF textArea(width() - textWidth, 0, textWidth, height());
    const int barHeight = std::max(6, height() / 2);
    const QRectF bar(0.5, (height() - barHeight) / 2.0 + 0.5, std::max(0, width() - textWidth - 10) - 1.0,
                     barHeight - 1.0);
    const double radius = barHeight / 2.0;

    painter.setPen(QPen(blend(background, foreground, 0.45), 1.0));
    painter.setBrush(blend(background, foreground, 0.12));
    painter.drawRoundedRect(bar, radius, radius);
    if (value_ > 0) {
        QPainterPath track;
        track.addRoundedRect(bar, radius, radius);
        painter.setClipPath(track);
        painter.setPen(Qt::NoPen);
        painter.setBrush(colours.color(QPalette::Highlight));
        painter.drawRect(QRectF(bar.left(), bar.top(), bar.width() * value_, bar.height()));
        painter.setClipping(false);
    }
    painter.setPen(foreground);
    painter.drawText(textArea, Qt::AlignRight | Qt::AlignVCenter, text);
}

} // namespace ebbcast
