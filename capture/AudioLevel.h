#pragma once

#include "capture/AudioInputBuffer.h"

namespace ebbcast {

// The level the meters and the silence rules use: root mean square of the first channel, 0 to 1.
class AudioLevel {
public:
    static float ofFirstChannel(const AudioInputBuffer& buffer);
};

} // namespace ebbcast
