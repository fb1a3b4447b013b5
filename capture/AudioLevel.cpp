#include "capture/AudioLevel.h"

#include <cmath>
#include <cstddef>

namespace ebbcast {

float AudioLevel::ofFirstChannel(const AudioInputBuffer& buffer)
{
    if (buffer.samples == nullptr || buffer.frameLength == 0 || buffer.channelCount <= 0)
        return 0.0F;
    double sum = 0;
    for (std::uint32_t frame = 0; frame < buffer.frameLength; ++frame) {
        const double sample = buffer.samples[static_cast<std::size_t>(frame) * buffer.channelCount];
        sum += sample * sample;
    }
    return static_cast<float>(std::sqrt(sum / buffer.frameLength));
}

} // namespace ebbcast
