#include "app/PlatformBackends.h"

#include "app/LinuxRecorderFactory.h"
#include "capture/FrontmostApplicationSource.h"
#include "capture/ScreenCaptureError.h"
#include "capture/ScreenFrameSource.h"
#include "session/ActivityInhibitor.h"

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

QProcessEnvironment environment(std::initializer_list<std::pair<QString, QString>> variables)
{
    QProcessEnvironment result;
    for (const auto& [name, value] : variables)
        result.insert(name, value);
    return result;
}

TEST(PlatformBackends, WithoutADisplayNothingIsRecordedAndTheReasonIsTheDisplay)
{
    PlatformBackends backends = loadPlatformBackends(environment({}));
    ASSERT_TRUE(backends.screens && backends.frontmostApplication && backends.inhibitor &&
                backends.recorders);
    try {
        backends.screens->displays();
        FAIL() << "displays without a display server";
    } catch (const ScreenCaptureError& error) {
        EXPECT_EQ(error.description(), u"No X display to record: DISPLAY is not set."_s);
    }
    EXPECT_FALSE(backends.frontmostApplication->frontmostApplication().has_value());
    EXPECT_TRUE(backends.notes.isEmpty()) << "the failed start says why; nothing to add";
}

TEST(PlatformBackends, AWaylandSessionIsToldHowItsScreenIsRecorded)
{
    struct Case {
        const char* name;
        QProcessEnvironment environment;
        QString noteContains; // empty: no note
    };
    const Case cases[] = {
        {"X11", environment({{u"DISPLAY"_s, u":97"_s}, {u"XDG_SESSION_TYPE"_s, u"x11"_s}}), QString()},
        {"Wayland with XWayland",
         environment({{u"DISPLAY"_s, u":97"_s}, {u"WAYLAND_DISPLAY"_s, u"wayland-0"_s}}),
         u"recorded through XWayland"_s},
        {"Wayland session type",
         environment({{u"DISPLAY"_s, u":97"_s}, {u"XDG_SESSION_TYPE"_s, u"wayland"_s}}),
         u"recorded through XWayland"_s},
        {"Wayland without XWayland", environment({{u"WAYLAND_DISPLAY"_s, u"wayland-0"_s}}),
         u"enable XWayland"_s},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const PlatformBackends backends = loadPlatformBackends(c.environment);
        if (c.noteContains.isEmpty()) {
            EXPECT_TRUE(backends.notes.isEmpty()) << backends.notes.join(u'\n').toStdString();
        } else {
            ASSERT_EQ(backends.notes.size(), 1);
            EXPECT_TRUE(backends.notes.front().contains(c.noteContains))
                << backends.notes.front().toStdString();
        }
    }
}

} // namespace
} // namespace ebbcast
