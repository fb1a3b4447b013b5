#include "capture/AudioDeviceError.h"

using namespace Qt::StringLiterals;

namespace ebbcast {

AudioDeviceError::AudioDeviceError(Code code, const QString& description)
    : CodedError(code, description)
{}

AudioDeviceError AudioDeviceError::serverUnavailable(const QString& reason)
{
    return AudioDeviceError(Code::serverUnavailable,
                            u"The sound server (PulseAudio or PipeWire) is not reachable: "_s + reason);
}

AudioDeviceError AudioDeviceError::noDefaultInput()
{
    return AudioDeviceError(Code::noDefaultInput, u"No default audio input (microphone) is available."_s);
}

AudioDeviceError AudioDeviceError::noDefaultOutput()
{
    return AudioDeviceError(Code::noDefaultOutput,
                            u"No default audio output is available to record system audio from."_s);
}

AudioDeviceError AudioDeviceError::streamFailed(const QString& reason)
{
    return AudioDeviceError(Code::streamFailed, u"The audio stream could not be started: "_s + reason);
}

} // namespace ebbcast
