#pragma once

#include "core/base/CodedError.h"

namespace ebbcast {

// A stored JSON document could not be encoded.
enum class DocumentErrorCode { nonFiniteNumber, nullValue };

class DocumentError : public CodedError<DocumentErrorCode> {
public:
    explicit DocumentError(Code code);
};

} // namespace ebbcast
