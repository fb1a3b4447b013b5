#pragma once

#include <QString>

namespace ebbcast {

// Small things every FFmpeg adapter needs.
class FfmpegSupport {
public:
    // FFmpeg's text for an error code.
    static QString errorText(int code);
    // Failures reach the log through the adapters' own errors; FFmpeg's chatter stays off the terminal.
    // Also registers the input devices. Safe to call from any thread, any number of times.
    static void initialize();
};

} // namespace ebbcast
