#include "core/base/SessionFolderGate.h"

#include "support/RunTask.h"
#include "support/TemporaryFolder.h"
#include "support/TimingScale.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStringList>
#include <QTimer>

#include <gtest/gtest.h>

#include <map>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace ebbcast {
namespace {

void settle()
{
    for (int round = 0; round < 5; ++round)
        QCoreApplication::processEvents();
}

int scaledMs(int milliseconds)
{
    return static_cast<int>(milliseconds * test::timingScale());
}

// Whether another process can take the folder's lock right now (flock -n gives up at once).
bool anotherProcessCanLock(const QString& folder)
{
    return QProcess::execute(u"flock"_s, {u"-n"_s, folder + u"/.ebbcast_upload.lock"_s, u"true"_s}) == 0;
}

// Another process holding a folder's lock until told to let go.
class ForeignHolder {
public:
    explicit ForeignHolder(const QString& folder)
    {
        process_.start(u"flock"_s, {folder + u"/.ebbcast_upload.lock"_s, u"-c"_s, u"echo held; exec cat"_s});
        const bool held = process_.waitForReadyRead(scaledMs(10'000));
        EXPECT_TRUE(held && process_.readAll().startsWith("held"));
    }
    ~ForeignHolder()
    {
        if (process_.state() != QProcess::NotRunning) {
            process_.kill();
            process_.waitForFinished();
        }
    }
    void letGo()
    {
        process_.closeWriteChannel();
        EXPECT_TRUE(process_.waitForFinished(scaledMs(10'000)));
        done = true;
    }
    bool done = false;

private:
    QProcess process_;
};

// Uploads that ask the gate for a folder and keep their turn until told to let go.
class Uploads {
public:
    explicit Uploads(SessionFolderGate& gate)
        : gate_(gate)
    {}

    void ask(const QString& name, const QString& folder, WaitCancellation cancellation = {})
    {
        waitFor_(name, folder, std::move(cancellation));
    }
    void letGo(const QString& name) { leases_.erase(name); }

    QStringList granted;
    QStringList cancelled;
    QStringList failed;

private:
    SessionFolderGate& gate_;
    std::map<QString, SessionFolderGate::Lease> leases_;
    std::function<QCoro::Task<>(QString, QString, WaitCancellation)> waitFor_ =
        [this](QString name, QString folder, WaitCancellation cancellation) -> QCoro::Task<> {
        try {
            SessionFolderGate::Lease lease = co_await gate_.acquire(folder, std::move(cancellation));
            granted.append(name);
            leases_.emplace(name, std::move(lease));
        } catch (const WaitCancelledError&) {
            cancelled.append(name);
        } catch (const SessionFolderGateError& error) {
            failed.append(name + u": "_s + error.description());
        }
    };
};

SessionFolderGate uploadGate()
{
    return SessionFolderGate(u".ebbcast_upload.lock"_s, u"uploading"_s);
}

// A pause that returns at once and runs a step of the test on the n-th retry.
SessionFolderGate::Options countedPauses(int& pauses, std::function<void(int)> onPause)
{
    SessionFolderGate::Options options;
    options.retryInterval = 250ms;
    options.pause = [&pauses, onPause](std::chrono::milliseconds interval) -> QCoro::Task<void> {
        EXPECT_EQ(interval, 250ms);
        onPause(++pauses);
        co_return;
    };
    return options;
}

TEST(SessionFolderGate, SpellingsOfOneFolderIncludingSymbolicLinksNameOneTurn)
{
    test::TemporaryFolder root;
    const QString folder = root.file(u"2026-12-06_08-21-20"_s);
    const QStringList spellings = {
        folder + u"/"_s,
        folder + u"//"_s,
        folder + u"/./chunks/.."_s,
        root.path() + u"/x/../2026-12-06_08-21-20"_s,
        QDir::current().relativeFilePath(folder),
    };
    for (const QString& spelling : spellings)
        EXPECT_EQ(SessionFolderGate::normalizedPath(spelling), folder) << spelling.toStdString();

    // Once the folder exists, a symbolic link to it and the spellings through it name the same folder.
    ASSERT_TRUE(QDir().mkpath(folder + u"/chunks"_s));
    ASSERT_TRUE(QFile::link(folder, root.file(u"link"_s)));
    const QString canonical = QFileInfo(folder).canonicalFilePath();
    for (const QString& spelling :
         spellings + QStringList{root.file(u"link"_s), root.file(u"link/chunks/.."_s)})
        EXPECT_EQ(SessionFolderGate::normalizedPath(spelling), canonical) << spelling.toStdString();

    SessionFolderGate gate = uploadGate();
    Uploads uploads(gate);
    uploads.ask(u"direct"_s, folder);
    uploads.ask(u"through the link"_s, root.file(u"link"_s));
    settle();
    EXPECT_TRUE(uploads.granted.contains(u"direct"_s));
    EXPECT_FALSE(uploads.granted.contains(u"through the link"_s));
    uploads.letGo(u"direct"_s);
    settle();
    EXPECT_TRUE(uploads.granted.contains(u"through the link"_s));
}

TEST(SessionFolderGate, UploadsOfOneFolderTakeTurnsWhileOtherFoldersProceed)
{
    test::TemporaryFolder root;
    const QString first = root.file(u"2026-12-06_08-21-20"_s);
    const QString second = root.file(u"2026-12-06_10-00-00"_s);
    ASSERT_TRUE(QDir().mkpath(first) && QDir().mkpath(second));
    SessionFolderGate gate = uploadGate();
    Uploads uploads(gate);

    uploads.ask(u"session"_s, first);
    uploads.ask(u"live chunk"_s, first + u"/"_s);
    uploads.ask(u"document"_s, first + u"/./"_s);
    uploads.ask(u"other session"_s, second);
    settle();
    EXPECT_EQ(uploads.granted, (QStringList{u"session"_s, u"other session"_s}));
    EXPECT_TRUE(gate.isBusy(first + u"/"_s));
    EXPECT_FALSE(anotherProcessCanLock(first));
    const QFileDevice::Permissions modeBits =
        QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner | QFileDevice::ReadGroup |
        QFileDevice::WriteGroup | QFileDevice::ExeGroup | QFileDevice::ReadOther | QFileDevice::WriteOther |
        QFileDevice::ExeOther;
    EXPECT_EQ(QFile::permissions(first + u"/.ebbcast_upload.lock"_s) & modeBits,
              QFileDevice::ReadOwner | QFileDevice::WriteOwner);

    uploads.letGo(u"session"_s);
    settle();
    EXPECT_EQ(uploads.granted.last(), u"live chunk"_s);
    EXPECT_FALSE(anotherProcessCanLock(first)) << "the next upload holds the folder again";
    uploads.letGo(u"live chunk"_s);
    settle();
    EXPECT_EQ(uploads.granted.last(), u"document"_s);
    uploads.letGo(u"document"_s);
    uploads.letGo(u"other session"_s);
    EXPECT_FALSE(gate.isBusy(first));
    EXPECT_TRUE(anotherProcessCanLock(first));
    EXPECT_TRUE(anotherProcessCanLock(second));
    EXPECT_TRUE(uploads.failed.isEmpty());
}

TEST(SessionFolderGate, AnotherProcessHoldingTheFolderMakesTheTurnWaitUntilItLetsGo)
{
    test::TemporaryFolder root;
    ForeignHolder holder(root.path());
    int pauses = 0;
    SessionFolderGate gate(u".ebbcast_upload.lock"_s, u"uploading"_s,
                           countedPauses(pauses, [&holder](int pause) {
                               EXPECT_FALSE(holder.done) << "no retry after the folder was free";
                               if (pause == 3)
                                   holder.letGo();
                           }));

    SessionFolderGate::Lease lease = test::runTask(gate.acquire(root.path()));
    EXPECT_TRUE(holder.done);
    EXPECT_EQ(pauses, 3);
    EXPECT_TRUE(lease.isHeld());
    EXPECT_EQ(lease.sessionFolderPath(), root.path());

    // Waiting behind an upload of this process needs no retries: the turn is handed over.
    Uploads uploads(gate);
    uploads.ask(u"next"_s, root.path());
    settle();
    EXPECT_TRUE(uploads.granted.isEmpty());
    lease.release();
    settle();
    EXPECT_EQ(uploads.granted, QStringList{u"next"_s});
    EXPECT_EQ(pauses, 3);
}

TEST(SessionFolderGate, TheRetryTimerPicksUpAFolderAnotherProcessReleases)
{
    test::TemporaryFolder root;
    ForeignHolder holder(root.path());
    SessionFolderGate gate(u".ebbcast_upload.lock"_s, u"uploading"_s,
                           SessionFolderGate::Options{.retryInterval = 20ms, .pause = {}});
    QTimer::singleShot(scaledMs(60), [&holder] { holder.letGo(); });

    const SessionFolderGate::Lease lease = test::runTask(gate.acquire(root.path()));
    EXPECT_TRUE(holder.done);
    EXPECT_TRUE(lease.isHeld());
    EXPECT_FALSE(anotherProcessCanLock(root.path()));
}

TEST(SessionFolderGate, AWaitCancelledWhileAnotherProcessHoldsTheFolderHandsTheTurnOn)
{
    test::TemporaryFolder root;
    ForeignHolder holder(root.path());
    WaitCancellation cancellation;
    int pauses = 0;
    SessionFolderGate gate(u".ebbcast_upload.lock"_s, u"uploading"_s, countedPauses(pauses, [&](int pause) {
                               if (pause == 2)
                                   cancellation.cancel(); // seen once the pause ends
                               if (pause == 4)
                                   holder.letGo();
                               ASSERT_LT(pause, 50) << "the waits never ended";
                           }));
    Uploads uploads(gate);
    uploads.ask(u"cancelled"_s, root.path(), cancellation);
    uploads.ask(u"behind"_s, root.path());
    settle();

    EXPECT_EQ(uploads.cancelled, QStringList{u"cancelled"_s});
    EXPECT_EQ(uploads.granted, QStringList{u"behind"_s});
    EXPECT_EQ(pauses, 4) << "two retries for each waiter";
    uploads.letGo(u"behind"_s);
    EXPECT_FALSE(gate.isBusy(root.path()));
}

TEST(SessionFolderGate, AFolderWithoutAUsableLockFileFailsTheTurnClearlyAndFreesIt)
{
    test::TemporaryFolder root;
    const QString plainFile = root.file(u"not a folder"_s);
    test::TemporaryFolder::writeAll(plainFile, "x");
    const QString lockTaken = root.file(u"lock is a folder"_s);
    ASSERT_TRUE(QDir().mkpath(lockTaken + u"/.ebbcast_upload.lock"_s));
    struct Case {
        QString folder;
        QString reason;
    };
    const QList<Case> cases = {
        {root.file(u"vanished"_s), u"No such file or directory"_s},
        {plainFile, u"Not a directory"_s},
        {lockTaken, u"Is a directory"_s},
    };
    SessionFolderGate gate = uploadGate();
    for (const Case& unusable : cases) {
        Uploads uploads(gate);
        uploads.ask(u"upload"_s, unusable.folder);
        uploads.ask(u"queued behind"_s, unusable.folder);
        settle();
        ASSERT_EQ(uploads.failed.size(), 2) << unusable.folder.toStdString();
        EXPECT_EQ(uploads.failed.first(), u"upload: Could not lock the session folder \""_s +
                                              unusable.folder + u"\" for uploading: "_s + unusable.reason);
        EXPECT_FALSE(gate.isBusy(unusable.folder));
    }

    // Once the folder exists, the same gate gives its turn.
    ASSERT_TRUE(QDir().mkpath(root.file(u"vanished"_s)));
    EXPECT_TRUE(test::runTask(gate.acquire(root.file(u"vanished"_s))).isHeld());
}

TEST(SessionFolderGate, GatesOnDifferentLockFilesDoNotWaitForEachOther)
{
    test::TemporaryFolder root;
    ForeignHolder holder(root.path());
    int pauses = 0;
    SessionFolderGate other(u".ebbcast_other.lock"_s, u"testing"_s, countedPauses(pauses, [](int) {}));
    const SessionFolderGate::Lease lease = test::runTask(other.acquire(root.path()));
    EXPECT_TRUE(lease.isHeld());
    EXPECT_EQ(pauses, 0);
    EXPECT_TRUE(QFile::exists(root.file(u".ebbcast_other.lock"_s)));
    EXPECT_FALSE(QProcess::execute(u"flock"_s, {u"-n"_s, root.file(u".ebbcast_other.lock"_s), u"true"_s}) ==
                 0);
    holder.letGo();
}

} // namespace
} // namespace ebbcast
