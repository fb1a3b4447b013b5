#pragma once

#include <QString>

#include <optional>

namespace ebbcast {

// How much audio a media file holds, found by reading every packet of its first audio stream: from the start
// of the earliest packet to the end of the latest. A fragmented file cut short by a crash may state no
// duration, or the wrong one, in its container; its packets still tell. Any thread.
class FfmpegAudioDuration {
public:
    // Seconds of audio; 0 for an audio stream without packets; nothing when the file cannot be opened or
    // has no audio stream.
    static std::optional<double> seconds(const QString& path);
};

} // namespace ebbcast
