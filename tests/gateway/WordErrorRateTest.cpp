#include "support/WordErrorRate.h"

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

namespace ebbcast::test {
namespace {

TEST(WordErrorRate, CountsSubstitutionsDeletionsAndInsertionsOfWordsIgnoringCaseAndPunctuation)
{
    EXPECT_EQ(WordErrorRate::errors(u"The meeting starts at nine o'clock."_s,
                                    u"the meeting starts at nine oclock"_s),
              0);
    EXPECT_EQ(WordErrorRate::errors(u"she bought a new car"_s, u"she bought a car"_s), 1);
    EXPECT_EQ(WordErrorRate::errors(u"call me back"_s, u"can you call me back"_s), 2);
    EXPECT_EQ(WordErrorRate::errors(u"open the door"_s, u"open a floor"_s), 2);
    EXPECT_EQ(WordErrorRate::errors(u"open the door"_s, u""_s), 3);

    WordErrorRate total;
    total.add(u"open the door for me"_s, u"open the door for me"_s);
    total.add(u"a cup of coffee"_s, u"a cup of toffee please"_s);
    EXPECT_EQ(total.errors(), 2);
    EXPECT_EQ(total.words(), 9);
    EXPECT_DOUBLE_EQ(total.rate(), 2.0 / 9.0);
}

} // namespace
} // namespace ebbcast::test
