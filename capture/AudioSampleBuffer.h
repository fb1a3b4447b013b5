#pragma once

#include <QByteArray>

namespace ebbcast {

// A buffer of system audio as the capture stream delivers it: interleaved signed 16-bit little-endian samples
// and the time it was captured, in seconds on a monotonic clock. An invalid buffer carries nothing usable.
struct AudioSampleBuffer {
    bool valid = true;
    double presentationTimeSeconds = 0;
    int sampleRate = 48000;
    int channelCount = 2;
    QByteArray data;
};

} // namespace ebbcast
