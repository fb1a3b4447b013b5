#pragma once

#include "core/base/EbbcastError.h"

#include <QString>

namespace ebbcast {

// An error of one component: a code from the component's enumeration and the readable description that the
// component builds for it (from a table of fixed texts, or with the details of the case).
template <typename CodeType>
class CodedError : public EbbcastError {
public:
    using Code = CodeType;

    Code code() const noexcept { return code_; }

protected:
    CodedError(Code code, QString description)
        : EbbcastError(std::move(description))
        , code_(code)
    {}

private:
    Code code_;
};

} // namespace ebbcast
