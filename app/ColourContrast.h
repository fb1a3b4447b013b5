#pragma once

#include <QColor>

namespace ebbcast {

// The relative luminance of a colour (sRGB, as the web content accessibility guidelines define it): 0 for
// black to 1 for white.
double relativeLuminance(const QColor& colour);

// How far two colours stand apart: (lighter + 0.05) / (darker + 0.05), from 1 to 21. Body text needs 4.5.
double contrastRatio(const QColor& first, const QColor& second);

// The colour `share` (0 to 1) of the way from `from` to `to`, channel by channel.
QColor blend(const QColor& from, const QColor& to, double share);

} // namespace ebbcast
