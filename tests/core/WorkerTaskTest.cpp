#include "core/base/WorkerTask.h"

#include "core/base/FileError.h"
#include "support/RunTask.h"

#include <gtest/gtest.h>

#include <thread>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

// The worker reads what the caller wrote before the call, and the caller reads what the worker wrote.
QCoro::Task<int> doubledOnWorker(const int& value, std::thread::id& worker)
{
    const int doubled = co_await runOnWorker([&value, &worker] {
        worker = std::this_thread::get_id();
        return value * 2;
    });
    co_return doubled;
}

QCoro::Task<> failingOnWorker()
{
    co_await runOnWorker([] { throw FileError(FileError::Code::writeFailed, u"/recordings"_s, u"full"_s); });
}

// Many rounds, because the pool reuses its threads: each hand-over must carry what was written before it, not
// only a new thread's start (under --tsan a hand-over ThreadSanitizer cannot see is reported here).
TEST(WorkerTask, TheWorkRunsOnAPoolThreadAndEachSideSeesWhatTheOtherWrote)
{
    for (int round = 0; round < 50; ++round) {
        const int value = round;
        std::thread::id worker;
        EXPECT_EQ(test::runTask(doubledOnWorker(value, worker)), 2 * round);
        EXPECT_NE(worker, std::thread::id());
        EXPECT_NE(worker, std::this_thread::get_id());
    }
}

TEST(WorkerTask, TheWorksOwnExceptionReachesTheCoroutine)
{
    try {
        test::runTask(failingOnWorker());
        ADD_FAILURE() << "nothing was thrown";
    } catch (const FileError& error) {
        EXPECT_EQ(error.code(), FileError::Code::writeFailed);
        EXPECT_EQ(error.path(), u"/recordings"_s);
    }
}

} // namespace
} // namespace ebbcast
