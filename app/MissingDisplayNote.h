#pragma once

#include <QString>

#include <optional>

namespace ebbcast {

class ScreenFrameSource;

// What to tell a user whose chosen display (`id`, not 0) is not connected now: the main display is recorded
// instead. Nothing when it is connected, or when the display server cannot be asked (no DISPLAY, a remote
// session): the recording's own error says that.
std::optional<QString> missingDisplayNote(ScreenFrameSource& screens, quint32 id);

} // namespace ebbcast
