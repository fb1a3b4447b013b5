#pragma once

#include <QString>

#include <functional>
#include <optional>
#include <stdexcept>
#include <vector>

namespace ebbcast {

// The audio of a file could not be decoded; what() is a short plain reason.
class AudioDecodeError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Reads an uploaded recording (any container and codec FFmpeg knows: the microphone's 32-bit float WAV, the
// system sound's AAC in m4a, ...) as the speech engine wants it. Any thread; no state.
class AudioDecoder {
public:
    // The rate and layout of decodeMono16k's samples.
    static constexpr int sampleRate = 16000;

    // Whether the file holds audio that a decoder exists for: empty when it does, otherwise the short reason
    // ("empty file", "not a media file", "no audio stream", "truncated or damaged", ...). Reads only the
    // file's start and its index. Never throws.
    static std::optional<QString> problem(const QString& path);

    // The first audio stream, mixed to mono and resampled to 16 kHz signed 16-bit. `cancelled` is asked
    // before each packet. A file that ends early or has damaged packets gives the audio that could be
    // decoded; one without any throws AudioDecodeError, as does a file problem() refuses. Throws
    // RecognitionCancelled when `cancelled` says so.
    static std::vector<qint16> decodeMono16k(const QString& path, const std::function<bool()>& cancelled);
};

} // namespace ebbcast
