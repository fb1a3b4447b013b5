#include "core/base/KeyedMutex.h"

#include <QCoreApplication>
#include <QStringList>

#include <gtest/gtest.h>

#include <map>
#include <optional>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

// Runs what the event loop has queued (the hand-overs are queued there), several rounds deep.
void settle()
{
    for (int round = 0; round < 5; ++round)
        QCoreApplication::processEvents();
}

// Callers that each ask for a key's lock and keep their lease until told to let go; records the order in
// which the leases arrive and which waits were cancelled.
class Callers {
public:
    explicit Callers(KeyedMutex& mutex)
        : mutex_(mutex)
    {}

    void ask(const QString& name, const QString& key, WaitCancellation cancellation = {})
    {
        waitFor_(name, key, std::move(cancellation));
    }
    void letGo(const QString& name) { leases_.erase(name); }
    bool holds(const QString& name) const { return leases_.count(name) == 1; }

    QStringList granted;
    QStringList cancelled;

private:
    KeyedMutex& mutex_;
    std::map<QString, KeyedMutex::Lease> leases_;
    // A named member, so that the coroutine's captures outlive every call.
    std::function<QCoro::Task<>(QString, QString, WaitCancellation)> waitFor_ =
        [this](QString name, QString key, WaitCancellation cancellation) -> QCoro::Task<> {
        try {
            KeyedMutex::Lease lease = co_await mutex_.lock(key, std::move(cancellation));
            EXPECT_EQ(lease.key(), key);
            granted.append(name);
            leases_.emplace(name, std::move(lease));
        } catch (const WaitCancelledError&) {
            cancelled.append(name);
        }
    };
};

TEST(KeyedMutex, CallersOfOneKeyTakeTurnsInOrderWhileOtherKeysAreGrantedAtOnce)
{
    KeyedMutex mutex;
    Callers callers(mutex);
    callers.ask(u"first"_s, u"2026-12-06"_s);
    for (const QString& name : {u"second"_s, u"third"_s, u"fourth"_s})
        callers.ask(name, u"2026-12-06"_s);
    callers.ask(u"other day"_s, u"2026-12-07"_s);
    settle();
    EXPECT_EQ(callers.granted, (QStringList{u"first"_s, u"other day"_s}));
    EXPECT_EQ(mutex.waiterCount(u"2026-12-06"_s), 3);

    // Each release hands the lock to exactly the next caller, and only once the event loop runs.
    const QStringList order = {u"first"_s, u"second"_s, u"third"_s, u"fourth"_s};
    for (qsizetype turn = 1; turn < order.size(); ++turn) {
        callers.letGo(order[turn - 1]);
        EXPECT_EQ(callers.granted.size(), turn + 1) << "no waiter runs inside the release";
        EXPECT_TRUE(mutex.isLocked(u"2026-12-06"_s)) << "the lock is handed over, never free in between";
        settle();
        ASSERT_EQ(callers.granted.size(), turn + 2);
        EXPECT_EQ(callers.granted.last(), order[turn]);
        EXPECT_EQ(mutex.waiterCount(u"2026-12-06"_s), order.size() - turn - 1);
    }
    callers.letGo(u"fourth"_s);
    EXPECT_FALSE(mutex.isLocked(u"2026-12-06"_s));
    EXPECT_TRUE(mutex.isLocked(u"2026-12-07"_s));

    callers.ask(u"later"_s, u"2026-12-06"_s);
    settle();
    EXPECT_EQ(callers.granted.last(), u"later"_s) << "a free key is granted again";
}

TEST(KeyedMutex, ACancelledWaiterLeavesTheQueueWithoutHoldingUpTheOthers)
{
    KeyedMutex mutex;
    Callers callers(mutex);
    WaitCancellation middle;
    WaitCancellation last;
    callers.ask(u"holder"_s, u"k"_s);
    callers.ask(u"before"_s, u"k"_s);
    callers.ask(u"middle"_s, u"k"_s, middle);
    callers.ask(u"after"_s, u"k"_s);
    callers.ask(u"last"_s, u"k"_s, last);
    settle();

    middle.cancel();
    middle.cancel(); // a second cancel changes nothing
    settle();
    EXPECT_EQ(callers.cancelled, QStringList{u"middle"_s});
    EXPECT_EQ(mutex.waiterCount(u"k"_s), 3);

    callers.letGo(u"holder"_s);
    settle();
    callers.letGo(u"before"_s);
    settle();
    EXPECT_EQ(callers.granted, (QStringList{u"holder"_s, u"before"_s, u"after"_s}));

    // The last waiter cancelled: the key becomes free when its holder lets go.
    last.cancel();
    settle();
    callers.letGo(u"after"_s);
    settle();
    EXPECT_EQ(callers.cancelled, (QStringList{u"middle"_s, u"last"_s}));
    EXPECT_FALSE(mutex.isLocked(u"k"_s));
}

TEST(KeyedMutex, CancellingAfterTheGrantOrBeforeAskingBehavesAsExpected)
{
    KeyedMutex mutex;
    Callers callers(mutex);
    WaitCancellation late;
    callers.ask(u"holder"_s, u"k"_s);
    callers.ask(u"granted then cancelled"_s, u"k"_s, late);
    settle();
    callers.letGo(u"holder"_s); // hands over; the waiter resumes from the event loop
    late.cancel();              // too late: the lock is already its own
    settle();
    EXPECT_TRUE(callers.holds(u"granted then cancelled"_s));
    EXPECT_TRUE(callers.cancelled.isEmpty());

    WaitCancellation early;
    early.cancel();
    callers.ask(u"cancelled before asking"_s, u"free key"_s, early);
    settle();
    EXPECT_EQ(callers.cancelled, QStringList{u"cancelled before asking"_s});
    EXPECT_FALSE(mutex.isLocked(u"free key"_s));

    // One cancellation shared by two waits of different keys ends both.
    WaitCancellation both;
    callers.ask(u"holder a"_s, u"a"_s);
    callers.ask(u"holder b"_s, u"b"_s);
    callers.ask(u"waits a"_s, u"a"_s, both);
    callers.ask(u"waits b"_s, u"b"_s, both);
    settle();
    both.cancel();
    settle();
    EXPECT_TRUE(callers.cancelled.contains(u"waits a"_s));
    EXPECT_TRUE(callers.cancelled.contains(u"waits b"_s));
}

TEST(KeyedMutex, ALeaseReleasesExactlyOnceWhateverHappensToIt)
{
    KeyedMutex mutex;
    Callers callers(mutex);
    std::optional<KeyedMutex::Lease> kept;
    auto take = [&mutex](QString key) -> QCoro::Task<KeyedMutex::Lease> {
        co_return co_await mutex.lock(key);
    };
    kept.emplace(QCoro::waitFor(take(u"a"_s)));
    callers.ask(u"waits a"_s, u"a"_s);
    callers.ask(u"waits a too"_s, u"a"_s);

    // Moving a lease moves the turn; the emptied lease releases nothing.
    KeyedMutex::Lease moved = std::move(*kept);
    kept.reset();
    settle();
    EXPECT_TRUE(callers.granted.isEmpty());
    EXPECT_FALSE(kept.has_value());

    // Assigning over a held lease releases the old turn once (one waiter moves up, not two).
    KeyedMutex::Lease other = QCoro::waitFor(take(u"b"_s));
    moved = std::move(other);
    settle();
    EXPECT_EQ(callers.granted, QStringList{u"waits a"_s});
    EXPECT_EQ(moved.key(), u"b"_s);
    moved.release();
    moved.release();
    EXPECT_FALSE(moved.isHeld());
    EXPECT_FALSE(mutex.isLocked(u"b"_s));
    EXPECT_EQ(mutex.waiterCount(u"a"_s), 1);
    callers.letGo(u"waits a"_s);
    settle();
    EXPECT_TRUE(callers.holds(u"waits a too"_s));

    // A lease may outlive its mutex.
    auto gone = std::make_unique<KeyedMutex>();
    KeyedMutex::Lease orphan = QCoro::waitFor([](KeyedMutex& m) -> QCoro::Task<KeyedMutex::Lease> {
        co_return co_await m.lock(u"x"_s);
    }(*gone));
    gone.reset();
    orphan.release();
    EXPECT_FALSE(orphan.isHeld());
}

} // namespace
} // namespace ebbcast
