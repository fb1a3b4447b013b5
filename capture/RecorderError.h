#pragma once

#include "core/base/CodedError.h"

namespace ebbcast {

// Capture errors: a writer or input that could not be set up, a media file that could not be created,
// encoded into, written or finished (the message says what and why), or no display to record.
enum class RecorderErrorCode { writerSetupFailed, writeFailed, noDisplayAvailable };

class RecorderError : public CodedError<RecorderErrorCode> {
public:
    static RecorderError writerSetupFailed(const QString& message);
    static RecorderError writeFailed(const QString& message);
    static RecorderError noDisplayAvailable();

private:
    RecorderError(Code code, const QString& description);
};

} // namespace ebbcast
