#include "capture/PermissionManager.h"

#include "capture/PermissionError.h"
#include "core/base/Logger.h"
#include "support/LogLines.h"
#include "support/RunTask.h"
#include "support/TemporaryFolder.h"

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

using Device = PermissionStatusSource::Device;
using Status = PermissionStatusSource::Status;

// A system with privacy permissions, set by the test; counts the prompts it would show.
class FakePermissions : public PermissionStatusSource {
public:
    bool screenCapturePreflight() override { return screen; }
    bool requestScreenCapture() override
    {
        ++screenPrompts;
        return screenGrantedOnRequest;
    }
    Status deviceStatus(Device device) override { return device == Device::microphone ? microphone : camera; }
    QCoro::Task<bool> requestDeviceAccess(Device) override
    {
        ++devicePrompts;
        co_return userSaysYes;
    }

    bool screen = true;
    bool screenGrantedOnRequest = false;
    Status microphone = Status::authorized;
    Status camera = Status::authorized;
    bool userSaysYes = true;
    int screenPrompts = 0;
    int devicePrompts = 0;
};

class PermissionManagerTest : public ::testing::Test {
protected:
    PermissionManager& make()
    {
        auto fake = std::make_unique<FakePermissions>();
        fake_ = fake.get();
        manager_ = std::make_unique<PermissionManager>(logger_, std::move(fake));
        return *manager_;
    }

    PermissionError::Code failure(QCoro::Task<> validation)
    {
        try {
            test::runTask(std::move(validation));
        } catch (const PermissionError& error) {
            return error.code();
        }
        ADD_FAILURE() << "validation passed";
        return PermissionError::Code::cameraMissing;
    }

    test::TemporaryFolder folder_;
    Logger logger_{folder_.file(u"app.log"_s)};
    FakePermissions* fake_ = nullptr;
    std::unique_ptr<PermissionManager> manager_;
};

TEST_F(PermissionManagerTest, ALinuxDesktopHasEverythingItNeeds)
{
    PermissionManager manager(logger_);
    EXPECT_TRUE(manager.hasScreenRecordingPermission());
    EXPECT_TRUE(manager.hasMicrophonePermission());
    EXPECT_TRUE(manager.hasCameraPermission());
    EXPECT_NO_THROW(test::runTask(manager.validateForRecording()));
    EXPECT_NO_THROW(test::runTask(manager.validateForWrapUp()));
    EXPECT_EQ(test::countLogLines(logger_, u"Requesting"_s), 0) << "nothing is asked";
}

TEST_F(PermissionManagerTest, ValidationStopsAtTheFirstMissingPermission)
{
    make();
    fake_->screen = false;
    fake_->microphone = Status::denied;
    EXPECT_EQ(failure(manager_->validateForRecording()), PermissionError::Code::screenRecordingMissing);
    EXPECT_EQ(fake_->screenPrompts, 1);
    EXPECT_EQ(test::countLogLines(logger_, u"[INFO] Requesting Screen Recording permission"_s), 1);

    make();
    fake_->microphone = Status::denied;
    fake_->camera = Status::denied;
    EXPECT_EQ(failure(manager_->validateForWrapUp()), PermissionError::Code::microphoneMissing);
}

TEST_F(PermissionManagerTest, ADeniedMicrophoneFailsAtOnceWithoutAPrompt)
{
    make();
    fake_->microphone = Status::denied;
    EXPECT_EQ(failure(manager_->validateForRecording()), PermissionError::Code::microphoneMissing);
    EXPECT_EQ(fake_->devicePrompts, 0);

    make();
    fake_->microphone = Status::notDetermined;
    EXPECT_NO_THROW(test::runTask(manager_->validateForRecording()));
    EXPECT_EQ(fake_->devicePrompts, 1);
    EXPECT_EQ(test::countLogLines(logger_, u"[INFO] Requesting Microphone permission"_s), 1);

    make();
    fake_->camera = Status::notDetermined;
    fake_->userSaysYes = false;
    EXPECT_EQ(failure(manager_->validateForWrapUp()), PermissionError::Code::cameraMissing);
    EXPECT_EQ(test::countLogLines(logger_, u"[INFO] Requesting Camera permission"_s), 1);
}

TEST_F(PermissionManagerTest, ErrorsTellWhereToGrantThePermission)
{
    EXPECT_EQ(
        PermissionError(PermissionError::Code::screenRecordingMissing).description(),
        u"Screen Recording permission is missing. Enable it in System Settings > Privacy & Security > Screen "
        "Recording, then restart Ebbcast."_s);
    EXPECT_EQ(
        PermissionError(PermissionError::Code::microphoneMissing).description(),
        u"Microphone permission is missing. Enable it in System Settings > Privacy & Security > Microphone."_s);
    EXPECT_EQ(PermissionError(PermissionError::Code::cameraMissing).description(),
              u"Camera permission is missing. Enable it in System Settings > Privacy & Security > Camera."_s);
}

} // namespace
} // namespace ebbcast
