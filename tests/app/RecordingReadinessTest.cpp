#include "app/RecordingReadiness.h"

#include "capture/AudioDeviceError.h"
#include "support/FakeCameraSource.h"
#include "support/FakeScreenFrameSource.h"

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

TEST(RecordingReadiness, EachDeviceSaysWhatWasFoundOrWhatToDo)
{
    test::FakeScreenFrameSource screens;
    screens.displayList = {{11, u"HDMI-1"_s, 0, 0, 1920, 1080, true},
                           {12, u"DP-2"_s, 1920, 0, 1280, 1024, false}};
    test::FakeCameraSource camera;
    RecordingReadiness::Probes probes{&screens, [] { return u"Built-in Microphone"_s; },
                                      [] { return u"Monitor of Speakers"_s; }, &camera, false};

    auto lines = RecordingReadiness::check(probes);
    ASSERT_EQ(lines.size(), 4U);
    EXPECT_EQ(lines[0].device, u"Screen"_s);
    EXPECT_TRUE(lines[0].ready);
    EXPECT_EQ(lines[0].detail, u"HDMI-1 (1920x1080), DP-2 (1280x1024)"_s);
    EXPECT_EQ(lines[1].detail, u"Built-in Microphone"_s);
    EXPECT_EQ(lines[2].detail, u"Monitor of Speakers"_s);
    EXPECT_EQ(lines[3].detail, u"Fake Cam"_s);
    for (const auto& line : lines)
        EXPECT_TRUE(line.ready) << qPrintable(line.device);

    // Nothing there: no display (plain X11, then Wayland), no sound server, no camera.
    screens.unreachable = true;
    camera.device.reset();
    probes.defaultInput = []() -> QString {
        throw AudioDeviceError::serverUnavailable(u"Connection refused"_s);
    };
    probes.defaultOutputMonitor = [] {
        return QString();
    };
    lines = RecordingReadiness::check(probes);
    for (const auto& line : lines)
        EXPECT_FALSE(line.ready) << qPrintable(line.device);
    EXPECT_TRUE(lines[0].detail.contains(u"X11 desktop session"_s));
    EXPECT_TRUE(lines[1].detail.startsWith(u"No sound input: start the sound server"_s));
    EXPECT_TRUE(lines[2].detail.startsWith(u"No sound output to record"_s));
    EXPECT_TRUE(lines[3].detail.startsWith(u"No camera found"_s));
    probes.waylandSession = true;
    EXPECT_TRUE(RecordingReadiness::check(probes)[0].detail.contains(u"enable XWayland"_s));
}

} // namespace
} // namespace ebbcast
