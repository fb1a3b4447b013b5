#include "drive/KeychainStore.h"

#include "support/RunTask.h"

#include <QProcess>

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

using test::runTask;

const QString service = u"Ebbcast.KeychainStoreTest"_s;

QByteArray secretTool(const QStringList& arguments)
{
    QProcess tool;
    tool.start(u"secret-tool"_s, arguments);
    tool.waitForFinished(10000);
    return tool.readAllStandardOutput();
}

// Against the session's real Secret Service (GNOME Keyring, unlocked by scripts/test-services.sh).
TEST(KeychainStore, SavesReplacesLoadsAndRemovesOneItemPerServiceAndAccount)
{
    KeychainStore store;
    runTask(store.remove(service, u"a"_s));
    runTask(store.remove(service, u"b"_s));
    EXPECT_EQ(runTask(store.load(service, u"a"_s)), std::nullopt) << "no item reads as nothing";
    EXPECT_NO_THROW(runTask(store.remove(service, u"a"_s))) << "removing no item is not an error";

    const QByteArray first = R"({"access_token":"a+/=&","expires_at":1.5})";
    const QByteArray binary("\x00\xFF\xC3\x28 bytes"_ba);
    runTask(store.save(service, u"a"_s, first));
    runTask(store.save(service, u"b"_s, binary));
    EXPECT_EQ(runTask(store.load(service, u"a"_s)), first);
    EXPECT_EQ(runTask(store.load(service, u"b"_s)), binary);

    runTask(store.save(service, u"a"_s, "second"));
    EXPECT_EQ(runTask(store.load(service, u"a"_s)), QByteArray("second"));
    const QByteArray found = secretTool({u"search"_s, u"--all"_s, u"server"_s, service, u"user"_s, u"a"_s});
    EXPECT_EQ(found.count("[/"), 1) << "a save replaces the item:\n" << found.constData();

    runTask(store.remove(service, u"a"_s));
    EXPECT_EQ(runTask(store.load(service, u"a"_s)), std::nullopt);
    EXPECT_EQ(runTask(store.load(service, u"b"_s)), binary) << "the other account is untouched";
    runTask(store.remove(service, u"b"_s));
    EXPECT_TRUE(secretTool({u"search"_s, u"--all"_s, u"server"_s, service}).isEmpty());
}

TEST(KeychainError, KeepsTheStatusAndSaysTheCause)
{
    const KeychainError error(KeychainErrorCode::noSecretService, 7,
                              u"no Secret Service on the session bus (is org.freedesktop.secrets owned?)"_s);
    EXPECT_EQ(error.status(), 7);
    EXPECT_EQ(error.description(),
              u"Keychain operation failed with status 7: no Secret Service on the session "
              "bus (is org.freedesktop.secrets owned?)."_s);
}

} // namespace
} // namespace ebbcast
