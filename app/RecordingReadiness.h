#pragma once

#include <QString>

#include <functional>
#include <optional>
#include <vector>

namespace ebbcast {

class CameraSource;
class ScreenFrameSource;

// Whether one device a recording needs can be used, and what to do when it cannot.
struct DeviceReadiness {
    QString device; // "Screen", "Microphone", "System audio", "Camera"
    bool ready = false;
    QString detail; // what was found, or what to do
};

// What a recording on this desktop can use: the X displays, the default sound input and output, the
// camera of wrap-up notes. A Linux desktop asks no permissions; what fails here is a missing display, sound
// server or device, and each line says how to get it. Blocking (the sound server is asked, up to its
// time-out): run on a worker.
class RecordingReadiness {
public:
    struct Probes {
        ScreenFrameSource* screens = nullptr;
        // The description of the default input or of the default output's monitor; throws (an
        // EbbcastError) when there is no sound server or no such device.
        std::function<QString()> defaultInput;
        std::function<QString()> defaultOutputMonitor;
        CameraSource* camera = nullptr;
        bool waylandSession = false;
    };

    static std::vector<DeviceReadiness> check(const Probes& probes);
};

} // namespace ebbcast
