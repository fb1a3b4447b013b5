#pragma once

#include "core/base/CodedError.h"

namespace ebbcast {

// A gateway reply with a success status whose body cannot be used. The description names the member, as a
// path from the top of the reply ("job.state", "artifacts[2].id").
enum class GlossenReplyErrorCode {
    malformedJSON,
    notAnObject,
    missingMember,
    mistypedMember,
    invalidIdentifier,
    otherJob
};

class GlossenReplyError : public CodedError<GlossenReplyErrorCode> {
public:
    // `subject`: the member path, or the JSON parser's message for malformedJSON.
    GlossenReplyError(Code code, const QString& subject);

    const QString& subject() const noexcept { return subject_; }

private:
    QString subject_;
};

} // namespace ebbcast
