#pragma once

#include <QColor>
#include <QIcon>
#include <QString>
#include <QStringList>

namespace ebbcast {

// The first of `themeNames` that the desktop's icon theme has; when it has none of them, the bundled symbol
// `symbolResource` (a one-colour SVG among the application's resources, ":/shell-icons/...") drawn in
// `colour`, sharp at any size and scale factor.
QIcon themedIcon(const QStringList& themeNames, const QString& symbolResource, const QColor& colour);

// The bundled symbol alone, drawn in `colour` (faded when disabled). A null icon when the resource is not an
// SVG that can be drawn.
QIcon symbolIcon(const QString& symbolResource, const QColor& colour);

} // namespace ebbcast
