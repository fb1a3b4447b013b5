#pragma once

#include "EbbcastError.h"

namespace ebbcast {

// Capture errors: a writer or input that could not be set up (the message says what), or no display to
// record.
class RecorderError : public EbbcastError {
public:
    enum class Code { writerSetupFailed, noDisplayAvailable };

    static RecorderError writerSetupFailed(const QString& message);
    static RecorderError noDisplayAvailable();

    Code code() const noexcept { return code_; }

private:
    RecorderError(Code code, const QString& description);

    Code code_;
};

} // namespace ebbcast
