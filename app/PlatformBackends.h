#pragma once

#include <QProcessEnvironment>
#include <QStringList>

#include <memory>

namespace ebbcast {

class ActivityInhibitor;
class CameraSource;
class FrontmostApplicationSource;
class LinuxRecorderFactory;
class ScreenFrameSource;

// The platform's implementations of the device interfaces, chosen once at start-up.
struct PlatformBackends {
    // The display list (the displayID setting's check); recorders get sources of their own.
    std::unique_ptr<ScreenFrameSource> screens;
    std::unique_ptr<FrontmostApplicationSource> frontmostApplication;
    std::unique_ptr<ActivityInhibitor> inhibitor;
    std::unique_ptr<LinuxRecorderFactory> recorders;
    // The camera of wrap-up notes (EBBCAST_CAMERA: app/CameraChoice.h).
    std::unique_ptr<CameraSource> camera;
    // What a user who records should know about the choice, said once on standard error (a Wayland session
    // recorded through XWayland, or one without it).
    QStringList notes;

    PlatformBackends();
    PlatformBackends(PlatformBackends&&) noexcept;
    PlatformBackends& operator=(PlatformBackends&&) noexcept;
    ~PlatformBackends();
};

// X11 (directly or through XWayland) when DISPLAY names a display, the Null backends otherwise; PulseAudio
// (or PipeWire's PulseAudio server) for sound, FFmpeg for the files, the session bus for the screen saver,
// the camera EBBCAST_CAMERA names (a Video4Linux2 camera by default).
PlatformBackends loadPlatformBackends(const QProcessEnvironment& environment);

} // namespace ebbcast
