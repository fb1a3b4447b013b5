#pragma once

#include <QString>

#include <functional>
#include <memory>
#include <stdexcept>
#include <vector>

namespace ebbcast {

struct RecognizedSegment {
    QString text;
    double startSeconds = 0;
    double endSeconds = 0;
};

// What a recognizer heard: the segments in order, and their texts joined by single spaces.
struct Recognition {
    QString text;
    std::vector<RecognizedSegment> segments;
};

// Thrown by a recognizer or the decoder when the caller's `cancelled` said so between blocks.
class RecognitionCancelled : public std::exception {
public:
    const char* what() const noexcept override { return "recognition cancelled"; }
};

// An engine failure, with a short plain description (never any recognised text).
class RecognitionError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A speech-to-text engine for one thread: loaded once, then given one job's audio at a time.
class SpeechRecognizer {
public:
    virtual ~SpeechRecognizer() = default;
    // The engine's name ("pocketsphinx"), part of the job ids the gateway reports.
    virtual QString name() const = 0;
    virtual QString version() const = 0;
    // 16 kHz mono signed 16-bit samples. `cancelled` is asked between blocks of at most half a second.
    // Throws RecognitionCancelled or RecognitionError.
    virtual Recognition recognize(const std::vector<qint16>& samples,
                                  const std::function<bool()>& cancelled) = 0;
};

} // namespace ebbcast
