#pragma once

#include <cstdint>

namespace ebbcast {

// One buffer of input audio as delivered by an input engine: `frameLength` frames of interleaved 32-bit float
// samples, `channelCount` per frame. The data belongs to the engine and is valid only during the callback.
struct AudioInputBuffer {
    const float* samples = nullptr;
    std::uint32_t frameLength = 0;
    int channelCount = 0;
};

} // namespace ebbcast
