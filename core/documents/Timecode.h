#pragma once

#include <QString>

namespace ebbcast {

// A session-relative offset printed "HH:MM:SS.mmm"; hours are not limited to two digits (100:00:00.000).
// Negative offsets print as 00:00:00.000; milliseconds are rounded half away from zero.
QString timecode(double seconds);

} // namespace ebbcast
