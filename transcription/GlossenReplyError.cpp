#include "transcription/GlossenReplyError.h"

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

QString describe(GlossenReplyError::Code code, const QString& subject)
{
    const QString prefix = u"Glossen Gateway reply could not be read: "_s;
    switch (code) {
    case GlossenReplyError::Code::malformedJSON:
        return prefix + u"it is not JSON ("_s + subject + u")."_s;
    case GlossenReplyError::Code::notAnObject:
        return prefix + u"it is not a JSON object."_s;
    case GlossenReplyError::Code::missingMember:
        return prefix + u"\""_s + subject + u"\" is missing."_s;
    case GlossenReplyError::Code::mistypedMember:
        return prefix + u"\""_s + subject + u"\" has the wrong type."_s;
    case GlossenReplyError::Code::invalidIdentifier:
        return prefix + u"\""_s + subject + u"\" is not a usable identifier."_s;
    case GlossenReplyError::Code::otherJob:
        return prefix + u"\""_s + subject + u"\" names another job."_s;
    }
    return {};
}

} // namespace

GlossenReplyError::GlossenReplyError(Code code, const QString& subject)
    : CodedError(code, describe(code, subject))
    , subject_(subject)
{}

} // namespace ebbcast
