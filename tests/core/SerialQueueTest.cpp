#include "core/base/SerialQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace ebbcast {
namespace {

using namespace std::chrono_literals;

TEST(SerialQueue, RunsJobsInOrderOnOneThreadAndDrainsBeforeDestruction)
{
    std::vector<int> order;
    std::thread::id worker;
    bool sameThread = true;
    {
        SerialQueue queue("Test.Queue");
        for (int i = 0; i < 100; ++i) {
            queue.async([&, i] {
                if (i == 0)
                    worker = std::this_thread::get_id();
                sameThread = sameThread && worker == std::this_thread::get_id();
                order.push_back(i);
            });
        }
    } // the destructor runs what was queued
    ASSERT_EQ(order.size(), 100U);
    for (int i = 0; i < 100; ++i)
        EXPECT_EQ(order[i], i);
    EXPECT_TRUE(sameThread);
    EXPECT_NE(worker, std::this_thread::get_id());
}

TEST(SerialQueue, RepeatingTimerTicksUntilCancelledAndInterleavesWithJobs)
{
    SerialQueue queue("Test.Timer");
    std::atomic<int> ticks{0};
    const auto timer = queue.scheduleRepeating(5ms, 5ms, [&ticks] { ++ticks; });
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (ticks < 5 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(1ms);
    EXPECT_GE(ticks, 5);
    queue.cancelTimer(timer);
    queue.sync();
    const int afterCancel = ticks;
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(ticks, afterCancel);
}

// Cancelling the timer the queue is waiting for, or destroying the queue then, removes the timer while the
// wait still needs its deadline (under --sanitize this is where a freed timer would be read).
TEST(SerialQueue, ATimerRemovedWhileTheQueueWaitsForItNeverRuns)
{
    std::atomic<int> ticks{0};
    std::atomic<bool> ran{false};
    {
        SerialQueue queue("Test.Cancel");
        const auto cancelled = queue.scheduleRepeating(1h, 1h, [&ticks] { ++ticks; });
        std::this_thread::sleep_for(20ms); // the queue waits for that deadline now
        queue.cancelTimer(cancelled);
        queue.async([&ran] { ran = true; }); // wakes the queue
        queue.sync();
        EXPECT_TRUE(ran);

        queue.scheduleRepeating(1h, 1h, [&ticks] { ++ticks; });
        std::this_thread::sleep_for(20ms);
    } // the destructor removes the timer and wakes the queue
    EXPECT_EQ(ticks, 0);
}

TEST(SerialQueue, ZeroIntervalDoesNotStarveOtherJobs)
{
    SerialQueue queue("Test.Zero");
    std::atomic<int> ticks{0};
    queue.scheduleRepeating(0ms, 0ms, [&ticks] { ++ticks; });
    std::atomic<bool> ran{false};
    queue.async([&ran] { ran = true; });
    queue.sync();
    EXPECT_TRUE(ran);
    std::this_thread::sleep_for(20ms);
    EXPECT_LT(ticks, 100) << "a zero interval runs at most once a millisecond";
}

} // namespace
} // namespace ebbcast
