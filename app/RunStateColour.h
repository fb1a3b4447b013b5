#pragma once

#include "model/EbbcastRunState.h"

#include <QColor>

namespace ebbcast {

// The colour that marks a run state in the tray and the mini controller: grey while idle, red while
// recording, amber during a wrap-up note or a pause, blue while delivering, green when done, dark red on an
// error. (The dashboard's pill has darker fills of its own, for white text on them.)
QColor runStateColour(EbbcastRunState state);

} // namespace ebbcast
