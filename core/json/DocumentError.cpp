#include "core/json/DocumentError.h"

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

QString describe(DocumentError::Code code)
{
    switch (code) {
    case DocumentError::Code::nonFiniteNumber:
        return u"The document contains a number that JSON cannot represent (infinite or not a number)."_s;
    case DocumentError::Code::nullValue:
        return u"The document contains a null value; stored documents leave absent members out."_s;
    }
    return {};
}

} // namespace

DocumentError::DocumentError(Code code)
    : CodedError(code, describe(code))
{}

} // namespace ebbcast
