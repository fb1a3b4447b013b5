#include "app/InstanceLock.h"

#include "support/TemporaryFolder.h"

#include <QFile>

#include <gtest/gtest.h>

#include <unistd.h>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

using Role = InstanceLock::Role;

TEST(InstanceLock, TheLaterOneLearnsWhoHoldsItAndWhatToDoInstead)
{
    test::TemporaryFolder folder;
    const QString path = folder.file(u"state/Tavilon/app.lock"_s);
    {
        InstanceLock recording(path);
        ASSERT_EQ(recording.acquire(Role::record), std::nullopt) << "the state folder is made when missing";
        InstanceLock application(path);
        const auto holder = application.acquire(Role::application);
        ASSERT_TRUE(holder.has_value());
        EXPECT_EQ(holder->pid, static_cast<qint64>(::getpid()));
        EXPECT_EQ(holder->role, Role::record);
        EXPECT_EQ(InstanceLock::refusal(Role::recover, *holder), u"'ebbcast record' is running (pid "_s +
                                                                     QString::number(::getpid()) +
                                                                     u"): its session is not interrupted."_s);
    }
    // Released with its holder: the next one takes it.
    InstanceLock application(path);
    ASSERT_EQ(application.acquire(Role::application), std::nullopt);
    InstanceLock record(path);
    const auto held = record.acquire(Role::record);
    ASSERT_TRUE(held.has_value());
    EXPECT_EQ(held->role, Role::application);
    EXPECT_TRUE(InstanceLock::refusal(Role::record, *held).contains(u"'ebbcast ctl start'"_s));
    EXPECT_TRUE(InstanceLock::refusal(Role::recover, *held).contains(u"'ebbcast ctl status'"_s));
    EXPECT_EQ(InstanceLock::refusal(Role::application, *held),
              u"Ebbcast is already running (pid "_s + QString::number(::getpid()) + u")."_s);

    // An earlier build's note ("pid N" alone) is read as the application; an unreadable one names no pid.
    EXPECT_EQ(InstanceLock::refusal(Role::application, {.pid = 0, .role = Role::application}),
              u"Ebbcast is already running."_s);
    EXPECT_EQ(InstanceLock::refusal(Role::record, {.pid = 7, .role = Role::recover}),
              u"'ebbcast recover' is repairing a session (pid 7); try again when it has ended."_s);
}

} // namespace
} // namespace ebbcast
