#include "app/MissingDisplayNote.h"

#include "app/SettingValueText.h"
#include "capture/ScreenFrameSource.h"
#include "core/base/EbbcastError.h"

#include <QStringList>

#include <algorithm>

using namespace Qt::StringLiterals;

namespace ebbcast {

std::optional<QString> missingDisplayNote(ScreenFrameSource& screens, quint32 id)
{
    std::vector<ScreenDisplay> displays;
    try {
        displays = screens.displays();
    } catch (const EbbcastError&) {
        return std::nullopt;
    }
    if (std::any_of(displays.begin(), displays.end(), [id](const ScreenDisplay& d) { return d.id == id; }))
        return std::nullopt;
    QStringList connected;
    for (const ScreenDisplay& display : displays)
        connected.append(QString::number(display.id) + u" ("_s + SettingValueText::escaped(display.name) +
                         u')');
    return u"no display with id "_s + QString::number(id) +
           u" is connected now; the main display is recorded until it is (connected: "_s +
           connected.join(u", "_s) + u')';
}

} // namespace ebbcast
