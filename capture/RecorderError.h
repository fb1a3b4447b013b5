#pragma once

#include "core/base/CodedError.h"

namespace ebbcast {

// Capture errors: a writer or input that could not be set up (the message says what), or no display to
// record.
enum class RecorderErrorCode { writerSetupFailed, noDisplayAvailable };

class RecorderError : public CodedError<RecorderErrorCode> {
public:
    static RecorderError writerSetupFailed(const QString& message);
    static RecorderError noDisplayAvailable();

private:
    RecorderError(Code code, const QString& description);
};

} // namespace ebbcast
