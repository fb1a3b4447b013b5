#include "core/documents/Timecode.h"

#include <algorithm>
#include <cmath>

namespace ebbcast {

QString timecode(double seconds)
{
    // Offsets come from clock arithmetic; a value that is not a number is treated like a negative one, and
    // absurdly large ones are held below the range of the millisecond count.
    constexpr double maximumSeconds = 9.0e12;
    const double clamped = std::isnan(seconds) ? 0.0 : std::clamp(seconds, 0.0, maximumSeconds);
    const long long total = std::llround(clamped * 1000.0);
    return QString::asprintf("%02lld:%02lld:%02lld.%03lld", total / 3'600'000, (total / 60'000) % 60,
                             (total / 1'000) % 60, total % 1000);
}

} // namespace ebbcast
