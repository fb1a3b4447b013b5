#pragma once

#include "capture/ScreenDisplay.h"

#include <QString>
#include <QStringList>

#include <functional>
#include <optional>
#include <vector>

namespace ebbcast {

class ScreenFrameSource;

// What the preferences form asks the system for, each time its window is shown (or, for the Drive folder,
// each time the field is committed). Any of them may be empty: the form then offers no list (or accepts any
// folder text).
struct PreferencesSources {
    // The displays the screen can be recorded from; may throw (no display server): the form shows none.
    std::function<std::vector<ScreenDisplay>()> displays;
    // The names of the sound inputs, as the microphone's device name is recorded.
    std::function<QStringList()> audioInputNames;
    // The Drive folder id a folder link or bare id names, or nothing when it names none.
    std::function<std::optional<QString>(const QString& text)> driveFolderID;
    // Whether Ebbcast starts at login, and the switch that changes it (throws when it cannot); without them
    // the form has no Startup section.
    std::function<bool()> startsAtLogin;
    std::function<void(bool enabled)> setStartsAtLogin;
};

// The real sources: the screen source's displays, the sound server's inputs (PulseAudio or PipeWire's
// PulseAudio server: the descriptions of the sources that are not monitors of an output, as the
// device-in-use query names them) and the upload rules' reading of a Drive folder setting. The screen source
// must outlive the returned functions.
PreferencesSources systemPreferencesSources(ScreenFrameSource& screens);

// The descriptions of the sound server's input sources, in the server's order; empty when the server cannot
// be asked. Blocking (at most the connection's operation time-out).
QStringList soundServerInputNames();

} // namespace ebbcast
