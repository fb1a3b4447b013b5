#include "app/PlatformBackends.h"

#include "app/CameraChoice.h"
#include "app/LinuxRecorderFactory.h"
#include "capture/CameraSource.h"
#include "capture/NullFrontmostApplicationSource.h"
#include "capture/NullScreenFrameSource.h"
#include "capture/linux/X11FrontmostApplicationSource.h"
#include "capture/linux/X11ScreenFrameSource.h"
#include "session/ScreenSaverInhibitor.h"

using namespace Qt::StringLiterals;

namespace ebbcast {

PlatformBackends::PlatformBackends() = default;
PlatformBackends::PlatformBackends(PlatformBackends&&) noexcept = default;
PlatformBackends& PlatformBackends::operator=(PlatformBackends&&) noexcept = default;
PlatformBackends::~PlatformBackends() = default;

PlatformBackends loadPlatformBackends(const QProcessEnvironment& environment)
{
    PlatformBackends backends;
    const QString display = environment.value(u"DISPLAY"_s);
    const bool wayland = !environment.value(u"WAYLAND_DISPLAY"_s).isEmpty() ||
                         environment.value(u"XDG_SESSION_TYPE"_s) == u"wayland";
    if (display.isEmpty()) {
        backends.screens = std::make_unique<NullScreenFrameSource>();
        backends.frontmostApplication = std::make_unique<NullFrontmostApplicationSource>();
        backends.recorders =
            std::make_unique<LinuxRecorderFactory>([] { return std::make_unique<NullScreenFrameSource>(); });
        if (wayland) {
            backends.notes.append(
                u"note: this Wayland session has no X display (DISPLAY is not set); the "
                "screen is recorded through XWayland, so enable XWayland or log in to an X11 "
                "session"_s);
        }
    } else {
        backends.screens = std::make_unique<X11ScreenFrameSource>(display);
        backends.frontmostApplication = std::make_unique<X11FrontmostApplicationSource>(display);
        backends.recorders = std::make_unique<LinuxRecorderFactory>(
            [display] { return std::make_unique<X11ScreenFrameSource>(display); });
        if (wayland) {
            backends.notes.append(u"note: this is a Wayland session: the screen is recorded through XWayland "
                                  "and may show only the windows of X11 applications"_s);
        }
    }
    backends.inhibitor = std::make_unique<ScreenSaverInhibitor>();
    const CameraChoice camera = CameraChoice::parse(environment.value(u"EBBCAST_CAMERA"_s));
    backends.camera = camera.createSource();
    if (!camera.note.isEmpty())
        backends.notes.append(camera.note);
    return backends;
}

} // namespace ebbcast
