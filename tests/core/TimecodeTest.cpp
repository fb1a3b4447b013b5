#include "core/documents/Timecode.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace ebbcast {
namespace {

TEST(Timecode, PrintsHoursMinutesSecondsAndRoundedMilliseconds)
{
    struct Case {
        double seconds;
        const char* expected;
    };
    const Case cases[] = {
        {0, "00:00:00.000"},
        {59.9996, "00:01:00.000"},
        {3725.5, "01:02:05.500"},
        {-4.2, "00:00:00.000"},
        {0.0005, "00:00:00.001"},
        {0.0004999, "00:00:00.000"},
        {360000, "100:00:00.000"},
        {86399.999, "23:59:59.999"},
        {300, "00:05:00.000"},
        {std::nan(""), "00:00:00.000"},
        {-std::numeric_limits<double>::infinity(), "00:00:00.000"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(timecode(c.seconds).toStdString(), c.expected) << c.seconds;
}

TEST(Timecode, HugeOffsetsStayWellFormed)
{
    const std::string text = timecode(std::numeric_limits<double>::infinity()).toStdString();
    EXPECT_NE(text.find(':'), std::string::npos);
    EXPECT_EQ(text.find('-'), std::string::npos);
}

} // namespace
} // namespace ebbcast
