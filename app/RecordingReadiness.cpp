#include "app/RecordingReadiness.h"

#include "capture/CameraSource.h"
#include "capture/ScreenFrameSource.h"
#include "core/base/EbbcastError.h"

#include <QStringList>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

DeviceReadiness screenReadiness(const RecordingReadiness::Probes& probes)
{
    DeviceReadiness line{u"Screen"_s, false, {}};
    try {
        const std::vector<ScreenDisplay> displays =
            probes.screens != nullptr ? probes.screens->displays() : std::vector<ScreenDisplay>{};
        if (!displays.empty()) {
            QStringList names;
            for (const ScreenDisplay& display : displays)
                names.append(u"%1 (%2x%3)"_s.arg(display.name).arg(display.width).arg(display.height));
            line.ready = true;
            line.detail = names.join(u", "_s);
            return line;
        }
    } catch (const std::exception&) {
        // Told below.
    }
    line.detail = probes.waylandSession
                      ? u"No X display: this Wayland session records the screen through XWayland; enable "
                        "XWayland or log in to an X11 session."_s
                      : u"No X display: start Ebbcast inside an X11 desktop session (DISPLAY must be set)."_s;
    return line;
}

DeviceReadiness soundReadiness(const QString& device, const std::function<QString()>& probe,
                               const QString& advice)
{
    DeviceReadiness line{device, false, {}};
    try {
        line.detail = probe ? probe() : QString();
        line.ready = !line.detail.isEmpty();
    } catch (const std::exception&) {
        line.ready = false;
    }
    if (!line.ready)
        line.detail = advice;
    return line;
}

DeviceReadiness cameraReadiness(CameraSource* camera)
{
    DeviceReadiness line{u"Camera"_s, false, {}};
    const std::optional<CameraDevice> device = camera != nullptr ? camera->defaultDevice() : std::nullopt;
    if (device) {
        line.ready = true;
        line.detail = device->name;
    } else {
        line.detail = u"No camera found: connect a camera (it appears as /dev/video0) to record wrap-up "
                      "notes. Recording sessions do not need one."_s;
    }
    return line;
}

} // namespace

std::vector<DeviceReadiness> RecordingReadiness::check(const Probes& probes)
{
    return {screenReadiness(probes),
            soundReadiness(u"Microphone"_s, probes.defaultInput,
                           u"No sound input: start the sound server (PulseAudio, or PipeWire with "
                           "pipewire-pulse) and connect or unmute a microphone."_s),
            soundReadiness(u"System audio"_s, probes.defaultOutputMonitor,
                           u"No sound output to record: start the sound server (PulseAudio, or PipeWire with "
                           "pipewire-pulse) and choose an output device."_s),
            cameraReadiness(probes.camera)};
}

} // namespace ebbcast
