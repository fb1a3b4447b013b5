#pragma once

#include <QString>

#include <optional>

namespace ebbcast {

// How long a media file's audio or video is, found by reading every packet of its first stream of that
// kind: from the start of the earliest packet to the end of the latest. A fragmented file cut short by a
// crash may state no duration, or the wrong one, in its container; its packets still tell, up to the last
// packet whose bytes are all there (a movie cut off inside a fragment's index, which FFmpeg cannot open,
// is read up to the fragment before). Any thread.
class FfmpegMediaDuration {
public:
    // Seconds of audio; 0 for an audio stream without packets; nothing when the file cannot be opened or
    // has no audio stream.
    static std::optional<double> audioSeconds(const QString& path);
    // Seconds of video (a movie's length: the end of its last picture); 0 for a video stream without
    // packets; nothing when the file cannot be opened or has no video stream.
    static std::optional<double> videoSeconds(const QString& path);
};

} // namespace ebbcast
