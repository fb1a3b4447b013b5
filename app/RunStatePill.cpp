#include "app/RunStatePill.h"

#include "app/ColourContrast.h"

#include <QPainter>

using namespace Qt::StringLiterals;

namespace ebbcast {

RunStatePill::Colours RunStatePill::colours(EbbcastRunState state)
{
    QColor fill;
    switch (state) {
    case EbbcastRunState::recording:
        fill = QColor(0xc6, 0x28, 0x28);
        break;
    case EbbcastRunState::paused:
    case EbbcastRunState::wrapUp:
        fill = QColor(0xf5, 0x9e, 0x0b);
        break;
    case EbbcastRunState::uploading:
    case EbbcastRunState::aiProcessing:
        fill = QColor(0x15, 0x65, 0xc0);
        break;
    case EbbcastRunState::completed:
        fill = QColor(0x2e, 0x7d, 0x32);
        break;
    case EbbcastRunState::error:
        fill = QColor(0x8e, 0x24, 0x24);
        break;
    case EbbcastRunState::idle:
    case EbbcastRunState::armed:
        fill = QColor(0x5f, 0x63, 0x68);
        break;
    }
    const QColor light(Qt::white);
    const QColor dark(0x1a, 0x1a, 0x1a);
    return {fill, contrastRatio(light, fill) >= contrastRatio(dark, fill) ? light : dark};
}

RunStatePill::RunStatePill(QWidget* parent)
    : QLabel(parent)
{
    QFont bold = font();
    bold.setBold(true);
    setFont(bold);
    setAlignment(Qt::AlignCenter);
    setState(EbbcastRunState::idle);
    setText(displayName(state_));
}

void RunStatePill::setState(EbbcastRunState state)
{
    state_ = state;
    setText(displayName(state));
    setAccessibleName(u"Run state: "_s + displayName(state));
    updateGeometry();
    update();
}

QSize RunStatePill::sizeHint() const
{
    const QFontMetrics metrics = fontMetrics();
    return {metrics.horizontalAdvance(text()) + 2 * metrics.height(), metrics.height() + 10};
}

void RunStatePill::paintEvent(QPaintEvent*)
{
    const Colours pill = colours(state_);
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(pill.fill);
    const QRectF area = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    painter.drawRoundedRect(area, area.height() / 2, area.height() / 2);
    painter.setPen(pill.text);
    painter.drawText(rect(), Qt::AlignCenter, text());
}

} // namespace ebbcast
