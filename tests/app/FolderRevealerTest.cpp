#include "app/FolderRevealer.h"

#include "shell/NotificationBus.h"
#include "support/TemporaryFolder.h"
#include "support/TimingScale.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QElapsedTimer>
#include <QSignalSpy>
#include <QUuid>

#include <gtest/gtest.h>

#include <memory>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

const QString fileManagerName = u"org.freedesktop.FileManager1"_s;

// The desktop's file manager on a private bus, on a connection of its own: records ShowItems calls and
// answers them, refuses them with an error, or never answers.
class FakeFileManager : public QDBusVirtualObject {
public:
    enum class Reply { answer, error, never };

    FakeFileManager(const test::PrivateBus& bus, Reply reply)
        : connectionName_(u"fake-file-manager-"_s + QUuid::createUuid().toString(QUuid::WithoutBraces))
        , reply_(reply)
    {
        QDBusConnection connection = QDBusConnection::connectToBus(bus.address(), connectionName_);
        if (!connection.registerVirtualObject(u"/org/freedesktop/FileManager1"_s, this) ||
            !connection.registerService(fileManagerName))
            ADD_FAILURE() << "the fake file manager could not take its name";
    }

    ~FakeFileManager() override
    {
        QDBusConnection connection(connectionName_);
        connection.unregisterService(fileManagerName);
        connection.unregisterObject(u"/org/freedesktop/FileManager1"_s);
        QDBusConnection::disconnectFromBus(connectionName_);
    }

    QString introspect(const QString&) const override { return {}; }

    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override
    {
        calls.append(message);
        switch (reply_) {
        case Reply::answer:
            connection.send(message.createReply());
            break;
        case Reply::error:
            connection.send(message.createErrorReply(u"org.freedesktop.DBus.Error.Failed"_s, u"no window"_s));
            break;
        case Reply::never:
            break;
        }
        return true;
    }

    QList<QDBusMessage> calls;

private:
    QString connectionName_;
    Reply reply_;
};

class FolderRevealerTest : public ::testing::Test {
protected:
    FolderRevealerOptions options(std::chrono::milliseconds timeout = std::chrono::seconds(5))
    {
        return {timeout, [this](const QUrl& url) {
                    opened_.append(url);
                }};
    }

    // Waits for the one result of a reveal.
    static QList<QVariant> result(QSignalSpy& revealed)
    {
        if (revealed.isEmpty() && !revealed.wait(static_cast<int>(10000 * test::timingScale())))
            return {};
        return revealed.takeFirst();
    }

    test::TemporaryFolder folder_;
    QList<QUrl> opened_;
};

TEST_F(FolderRevealerTest, TheFileManagerShowsTheFolderSelected)
{
    test::PrivateBus bus;
    FakeFileManager fileManager(bus, FakeFileManager::Reply::answer);
    FolderRevealer revealer(bus.connection(), options());
    QSignalSpy revealed(&revealer, &FolderRevealer::revealed);
    const QString session = folder_.file(u"2024-03-01_10-00-00 b#c"_s);

    revealer.reveal(session);
    EXPECT_TRUE(revealed.isEmpty()) << "asynchronous";
    EXPECT_EQ(result(revealed), (QList<QVariant>{session, true}));
    ASSERT_EQ(fileManager.calls.size(), 1);
    const QDBusMessage call = fileManager.calls.front();
    EXPECT_EQ(call.interface(), u"org.freedesktop.FileManager1"_s);
    EXPECT_EQ(call.member(), u"ShowItems"_s);
    EXPECT_EQ(call.signature(), u"ass"_s);
    ASSERT_EQ(call.arguments().size(), 2);
    const QStringList uris = call.arguments().at(0).toStringList();
    ASSERT_EQ(uris.size(), 1);
    EXPECT_EQ(uris.front(), QUrl::fromLocalFile(session).toString(QUrl::FullyEncoded));
    EXPECT_TRUE(uris.front().endsWith(u"2024-03-01_10-00-00%20b%23c"_s)) << uris.front().toStdString();
    EXPECT_EQ(call.arguments().at(1).toString(), QString());
    EXPECT_TRUE(opened_.isEmpty());
}

TEST_F(FolderRevealerTest, TheFolderItselfIsOpenedWhenNoFileManagerShowsIt)
{
    const QUrl expected = QUrl::fromLocalFile(folder_.path());
    {
        SCOPED_TRACE("no file manager on the bus");
        test::PrivateBus bus;
        FolderRevealer revealer(bus.connection(), options());
        QSignalSpy revealed(&revealer, &FolderRevealer::revealed);
        revealer.reveal(folder_.path());
        EXPECT_EQ(result(revealed), (QList<QVariant>{folder_.path(), false}));
        EXPECT_EQ(opened_, QList<QUrl>{expected});
    }
    {
        SCOPED_TRACE("the file manager refuses");
        opened_.clear();
        test::PrivateBus bus;
        FakeFileManager fileManager(bus, FakeFileManager::Reply::error);
        FolderRevealer revealer(bus.connection(), options());
        QSignalSpy revealed(&revealer, &FolderRevealer::revealed);
        revealer.reveal(folder_.path());
        EXPECT_EQ(result(revealed), (QList<QVariant>{folder_.path(), false}));
        EXPECT_EQ(fileManager.calls.size(), 1);
        EXPECT_EQ(opened_, QList<QUrl>{expected});
    }
    {
        SCOPED_TRACE("no bus at all");
        opened_.clear();
        FolderRevealer revealer(QDBusConnection(u"ebbcast-no-such-connection"_s), options());
        QSignalSpy revealed(&revealer, &FolderRevealer::revealed);
        revealer.reveal(folder_.path());
        EXPECT_EQ(revealed.size(), 1);
        EXPECT_EQ(opened_, QList<QUrl>{expected});
    }
}

TEST_F(FolderRevealerTest, AFileManagerThatNeverAnswersIsGivenUpAfterTheTimeOut)
{
    test::PrivateBus bus;
    FakeFileManager fileManager(bus, FakeFileManager::Reply::never);
    const std::chrono::milliseconds timeout(400);
    FolderRevealer revealer(bus.connection(), options(timeout));
    QSignalSpy revealed(&revealer, &FolderRevealer::revealed);
    QElapsedTimer clock;
    clock.start();
    revealer.reveal(folder_.path());

    EXPECT_EQ(result(revealed), (QList<QVariant>{folder_.path(), false}));
    EXPECT_GE(clock.elapsed(), timeout.count() - 50);
    EXPECT_EQ(fileManager.calls.size(), 1);
    EXPECT_EQ(opened_, QList<QUrl>{QUrl::fromLocalFile(folder_.path())});
}

} // namespace
} // namespace ebbcast
