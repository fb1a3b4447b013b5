#include "clocksync/ClockSyncError.h"

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

QString describe(ClockSyncError::Code code)
{
    switch (code) {
    case ClockSyncError::Code::badResponse:
        return u"Clock sync endpoint returned a non-success response."_s;
    case ClockSyncError::Code::invalidPayload:
        return u"Clock sync endpoint must return unix_ms or server_time."_s;
    }
    return {};
}

} // namespace

ClockSyncError::ClockSyncError(Code code)
    : CodedError(code, describe(code))
{}

} // namespace ebbcast
