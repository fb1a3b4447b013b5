#include "capture/PermissionError.h"

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

QString describe(PermissionError::Code code)
{
    switch (code) {
    case PermissionError::Code::screenRecordingMissing:
        return u"Screen Recording permission is missing. Enable it in System Settings > Privacy & Security > "
               "Screen Recording, then restart Ebbcast."_s;
    case PermissionError::Code::microphoneMissing:
        return u"Microphone permission is missing. Enable it in System Settings > Privacy & Security > Microphone."_s;
    case PermissionError::Code::cameraMissing:
        return u"Camera permission is missing. Enable it in System Settings > Privacy & Security > Camera."_s;
    }
    return {};
}

} // namespace

PermissionError::PermissionError(Code code)
    : CodedError(code, describe(code))
{}

} // namespace ebbcast
