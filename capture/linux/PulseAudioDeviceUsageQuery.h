#pragma once

#include "capture/DeviceUsageQuery.h"
#include "capture/linux/PulseAudioConnection.h"

namespace ebbcast {

// Input devices in use by other processes, from PulseAudio introspection: sources that are not monitors and
// have an active (uncorked) recording stream of another process. This process's own streams do not count:
// the audio activity monitor keeps one open on the microphone, and our own recording is no reason to prompt.
// Blocking; call it from one thread at a time (the main thread's poll).
class PulseAudioDeviceUsageQuery : public DeviceUsageQuery {
public:
    PulseAudioDeviceUsageQuery();

    Usage query() override;

private:
    PulseAudioConnection connection_{QStringLiteral("Ebbcast")};
    long long ownProcessID_;
};

} // namespace ebbcast
