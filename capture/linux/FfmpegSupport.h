#pragma once

#include <QString>

struct AVCodecContext;
struct AVFormatContext;
struct AVPacket;
struct AVStream;

namespace ebbcast {

// Small things every FFmpeg adapter needs.
class FfmpegSupport {
public:
    // FFmpeg's text for an error code.
    static QString errorText(int code);
    // Failures reach the log through the adapters' own errors; FFmpeg's chatter stays off the terminal.
    // Also registers the input devices. Safe to call from any thread, any number of times.
    static void initialize();

    // Writes every packet the encoder has ready into the file's stream. 0 when all went, otherwise the error
    // code, with `writing` telling whether the file (true) or the encoder (false) failed.
    static int writeEncodedPackets(AVCodecContext* encoder, AVFormatContext* format, AVStream* stream,
                                   AVPacket* packet, bool& writing);
};

} // namespace ebbcast
