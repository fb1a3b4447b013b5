#pragma once

#include "EbbcastError.h"

namespace ebbcast {

// A stored JSON document could not be encoded.
class DocumentError : public EbbcastError {
public:
    enum class Code { nonFiniteNumber, nullValue };

    explicit DocumentError(Code code);

    Code code() const noexcept { return code_; }

private:
    Code code_;
};

} // namespace ebbcast
