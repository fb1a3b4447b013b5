#pragma once

namespace ebbcast {

// The format an audio input delivers. Input is always 32-bit float; `commonFormat` is the numeric code the
// recorder reports for it in its log (1 = 32-bit float).
struct AudioInputFormat {
    static constexpr int float32CommonFormat = 1;

    double sampleRate = 0;
    int channelCount = 0;
    int commonFormat = float32CommonFormat;
    bool interleaved = true;

    bool operator==(const AudioInputFormat&) const = default;
};

} // namespace ebbcast
