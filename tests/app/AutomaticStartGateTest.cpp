#include "app/AutomaticStartGate.h"

#include <gtest/gtest.h>

namespace ebbcast {
namespace {

TEST(AutomaticStartGate, OneStartAtATimeAndAFailurePausesUntilTimeASuccessOrASettingEndsIt)
{
    double now = 100;
    AutomaticStartGate gate([&now] { return now; }, 300);

    ASSERT_TRUE(gate.tryBegin());
    EXPECT_FALSE(gate.tryBegin()) << "a start is under way";
    gate.succeeded();
    ASSERT_TRUE(gate.tryBegin());

    EXPECT_TRUE(gate.failed()) << "the first failure begins the pause";
    EXPECT_FALSE(gate.tryBegin());
    now += 299;
    EXPECT_FALSE(gate.tryBegin());
    now += 1;
    ASSERT_TRUE(gate.tryBegin()) << "five minutes later it tries again";

    // A second failure pauses again; a start the user asks for that succeeds ends the pause.
    EXPECT_TRUE(gate.failed());
    EXPECT_TRUE(gate.isPaused());
    gate.succeeded();
    ASSERT_TRUE(gate.tryBegin());

    EXPECT_TRUE(gate.failed());
    gate.reset();
    EXPECT_FALSE(gate.isPaused());
    ASSERT_TRUE(gate.tryBegin());
    // A setting changed during a start: the start is still the one under way.
    gate.reset();
    EXPECT_FALSE(gate.tryBegin());
}

} // namespace
} // namespace ebbcast
