#include "app/CameraChoice.h"

#include "app/PlatformBackends.h"
#include "capture/linux/LavfiCameraSource.h"
#include "capture/linux/V4l2CameraSource.h"

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

TEST(CameraChoice, ReadsTheFormsOfEbbcastCamera)
{
    using Kind = CameraChoice::Kind;
    const struct {
        QString value;
        Kind kind;
        QString argument;
        bool understood;
    } cases[] = {
        {QString(), Kind::v4l2, QString(), true},
        {u"v4l2"_s, Kind::v4l2, QString(), true},
        {u" V4L2 "_s, Kind::v4l2, QString(), true},
        {u"v4l2:/dev/video2"_s, Kind::v4l2, u"/dev/video2"_s, true},
        {u"lavfi"_s, Kind::lavfi, QString(), true},
        {u"lavfi:color=c=blue:size=320x240,format=yuyv422,realtime"_s, Kind::lavfi,
         u"color=c=blue:size=320x240,format=yuyv422,realtime"_s, true},
        {u"usb"_s, Kind::v4l2, QString(), false},
        {u"v4l2:"_s, Kind::v4l2, QString(), false},
        {u"v4l2:video2"_s, Kind::v4l2, QString(), false},
        {u"/dev/video0"_s, Kind::v4l2, QString(), false},
        {u"lavfi:"_s, Kind::v4l2, QString(), false},
        {u":lavfi"_s, Kind::v4l2, QString(), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value.toStdString());
        const CameraChoice choice = CameraChoice::parse(c.value);
        EXPECT_EQ(choice.kind, c.kind);
        EXPECT_EQ(choice.argument, c.argument);
        if (c.understood) {
            EXPECT_TRUE(choice.note.isEmpty()) << choice.note.toStdString();
        } else {
            EXPECT_TRUE(choice.note.contains(u'"' + c.value + u'"')) << choice.note.toStdString();
            EXPECT_TRUE(choice.note.contains(u"v4l2, v4l2:/dev/videoN, lavfi, lavfi:GRAPH"_s))
                << choice.note.toStdString();
        }
    }
}

TEST(CameraChoice, CreatesTheSourceItNames)
{
    const auto lavfi = CameraChoice::parse(u"lavfi"_s).createSource();
    const auto* pattern = dynamic_cast<const LavfiCameraSource*>(lavfi.get());
    ASSERT_NE(pattern, nullptr);
    EXPECT_EQ(pattern->graph(), QString::fromLatin1(LavfiCameraSource::defaultGraph));

    const auto graph = CameraChoice::parse(u"lavfi:testsrc2=size=64x48,format=yuyv422"_s).createSource();
    ASSERT_NE(dynamic_cast<const LavfiCameraSource*>(graph.get()), nullptr);
    EXPECT_EQ(dynamic_cast<const LavfiCameraSource&>(*graph).graph(),
              u"testsrc2=size=64x48,format=yuyv422"_s);

    const auto device = CameraChoice::parse(u"v4l2:/dev/video3"_s).createSource();
    ASSERT_NE(dynamic_cast<const V4l2CameraSource*>(device.get()), nullptr);
    EXPECT_EQ(dynamic_cast<const V4l2CameraSource&>(*device).devicePath(), u"/dev/video3"_s);
}

TEST(CameraChoice, ThePlatformHasACameraAndANoteForAValueItDoesNotKnow)
{
    QProcessEnvironment environment;
    PlatformBackends plain = loadPlatformBackends(environment);
    ASSERT_NE(dynamic_cast<V4l2CameraSource*>(plain.camera.get()), nullptr);
    EXPECT_TRUE(plain.notes.isEmpty());

    environment.insert(u"EBBCAST_CAMERA"_s, u"lavfi"_s);
    PlatformBackends pattern = loadPlatformBackends(environment);
    ASSERT_NE(pattern.camera, nullptr);
    EXPECT_EQ(pattern.camera->defaultDevice()->name, u"Test pattern (lavfi)"_s);

    environment.insert(u"EBBCAST_CAMERA"_s, u"webcam"_s);
    PlatformBackends unknown = loadPlatformBackends(environment);
    ASSERT_NE(dynamic_cast<V4l2CameraSource*>(unknown.camera.get()), nullptr);
    ASSERT_EQ(unknown.notes.size(), 1);
    EXPECT_TRUE(unknown.notes.front().contains(u"EBBCAST_CAMERA=\"webcam\""_s));
}

} // namespace
} // namespace ebbcast
