#include "model/EbbcastRunState.h"

#include <QMetaEnum>

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

TEST(EbbcastRunState, ListsEveryStateInOrderWithItsDisplayName)
{
    const QStringList expected{u"Idle"_s,      u"Armed"_s,         u"Recording"_s, u"Paused"_s, u"Wrap Up"_s,
                               u"Uploading"_s, u"AI Processing"_s, u"Completed"_s, u"Error"_s};
    QStringList names;
    for (const EbbcastRunState state : allRunStates())
        names << displayName(state);
    EXPECT_EQ(names, expected);

    // The meta-enum knows the same states in the same order, so a property can carry them.
    const QMetaEnum meta = QMetaEnum::fromType<EbbcastRunState>();
    ASSERT_EQ(meta.keyCount(), static_cast<int>(allRunStates().size()));
    EXPECT_STREQ(meta.key(4), "wrapUp");
    EXPECT_EQ(meta.value(6), static_cast<int>(EbbcastRunState::aiProcessing));
}

TEST(EbbcastRunState, DisplayNamesReadBackAndOtherTextsAreNoState)
{
    for (const EbbcastRunState state : allRunStates())
        EXPECT_EQ(runStateFromDisplayName(displayName(state)), state) << displayName(state).toStdString();

    for (const QString& other : {u""_s, u"idle"_s, u"WrapUp"_s, u"Wrap Up "_s, u"wrapUp"_s, u"Unknown"_s})
        EXPECT_EQ(runStateFromDisplayName(other), std::nullopt) << other.toStdString();
}

} // namespace
} // namespace ebbcast
