#include "core/base/Iso8601.h"

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

TEST(Iso8601, ParsesWholeSecondDatesInUtcOrWithAnOffset)
{
    const QDateTime expected(QDate(2026, 12, 6), QTime(8, 15, 2), Qt::UTC);
    EXPECT_EQ(Iso8601::parse(u"2026-12-06T08:15:02Z"_s), expected);
    EXPECT_EQ(Iso8601::parse(u"2026-12-06T09:15:02+01:00"_s), expected);
    EXPECT_EQ(Iso8601::parse(u"2026-12-06T03:45:02-04:30"_s), expected);
}

TEST(Iso8601, RefusesAnythingElse)
{
    for (const QString& text :
         {u"2026-12-06T08:15:02.700Z"_s, u"2026-12-06T08:15:02.0Z"_s, u"2026-12-06T08:15:02"_s,
          u"2026-12-06 08:15:02Z"_s, u"2026-02-30T08:15:02Z"_s, u"2026-12-06T24:00:00Z"_s,
          u"2026-12-06T23:59:60Z"_s, u"2026-12-06T08:15:02+24:00"_s, u" 2026-12-06T08:15:02Z"_s,
          u"2026-12-06T08:15:02z"_s, u"20261206T081502Z"_s, u""_s, u"1765008902"_s}) {
        EXPECT_FALSE(Iso8601::parse(text).has_value()) << text.toStdString();
    }
}

TEST(Iso8601, FormatsInUtcAndDropsFractionsDownward)
{
    EXPECT_EQ(Iso8601::format(QDateTime(QDate(2026, 12, 6), QTime(9, 15, 2, 999), Qt::OffsetFromUTC, 3600)),
              u"2026-12-06T08:15:02Z"_s);
    EXPECT_EQ(Iso8601::format(QDateTime(QDate(1969, 12, 31), QTime(23, 59, 59, 500), Qt::UTC)),
              u"1969-12-31T23:59:59Z"_s);
}

} // namespace
} // namespace ebbcast
