#include "support/FakeSpeechRecognizer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>

using namespace Qt::StringLiterals;

namespace ebbcast::test {
namespace {

// The server's tests hold a worker inside recognize() with it: holding, releasing and cancelling must work
// across threads.
TEST(FakeSpeechRecognizer, HoldsARecognitionUntilReleasedOrCancelled)
{
    const auto script = std::make_shared<FakeRecognitionScript>();
    auto recognizers = FakeSpeechRecognizer::several(script, 2);
    const std::vector<qint16> audio = {7, -3, 5};
    std::atomic<bool> cancelled = false;
    script->hold();
    auto released = std::async(std::launch::async, [&] { return recognizers[0]->recognize(audio, {}); });
    auto stopped = std::async(std::launch::async, [&] {
        return recognizers[1]->recognize(audio, [&] { return cancelled.load(); });
    });
    ASSERT_TRUE(script->waitForStarted(2, std::chrono::seconds(10)));
    EXPECT_EQ(script->finished(), 0);

    cancelled = true;
    EXPECT_THROW(stopped.get(), RecognitionCancelled);
    script->release();
    EXPECT_EQ(released.get().text, u"samples 3 first 7 sum 9"_s) << "the text names its own audio";
    EXPECT_EQ(script->finished(), 1);
    EXPECT_EQ(script->cancelled(), 1);

    script->say(u"fixed"_s);
    EXPECT_EQ(recognizers[0]->recognize(audio, {}).text, u"fixed"_s);
    script->fail(u"engine broke"_s);
    EXPECT_THROW(recognizers[0]->recognize(audio, {}), RecognitionError);
}

} // namespace
} // namespace ebbcast::test
