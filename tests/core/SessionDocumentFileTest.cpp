#include "core/documents/SessionDocumentFile.h"

#include "core/base/FileError.h"
#include "core/json/JsonDocumentFile.h"
#include "support/InterruptedSession.h"
#include "support/TemporaryFolder.h"

#include <QFile>

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <set>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

TEST(SessionDocumentFile, TwoProcessesChangingOneDocumentLoseNothing)
{
    test::TemporaryFolder folder;
    const QString session = folder.file(u"session"_s);
    test::writeInterruptedSession(session, u"2026-12-06_09-15-02"_s,
                                  QDateTime(QDate(2026, 12, 6), QTime(8, 15, 2), Qt::UTC));
    const QString path = session + u"/metadata.json"_s;
    constexpr int rounds = 60;
    const auto addMarkers = [&path](const QString& prefix) {
        for (int i = 0; i < rounds; ++i) {
            SessionDocumentFile::update(path, [&](SessionMetadata& document) {
                document.markers.push_back(SessionMarker{prefix + QString::number(i), static_cast<double>(i),
                                                         document.startTime, u"Marker"_s});
            });
        }
    };
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        try {
            addMarkers(u"child-"_s);
        } catch (...) {
            ::_exit(1);
        }
        ::_exit(0);
    }
    addMarkers(u"parent-"_s);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    const auto stored = SessionMetadata::fromJson(*JsonDocumentFile::readObject(path));
    ASSERT_TRUE(stored.has_value());
    std::set<QString> ids;
    for (const SessionMarker& marker : stored->markers)
        ids.insert(marker.id);
    EXPECT_EQ(ids.size(), 2U * rounds) << "every change of both processes is in the document";
}

TEST(SessionDocumentFile, AMissingOrForeignDocumentIsAnErrorAndNothingIsWritten)
{
    test::TemporaryFolder folder;
    const QString path = folder.file(u"metadata.json"_s);
    bool changed = false;
    EXPECT_THROW(SessionDocumentFile::update(path, [&](SessionMetadata&) { changed = true; }), FileError);
    EXPECT_FALSE(QFile::exists(path));
    test::TemporaryFolder::writeAll(path, R"({"not": "a session"})");
    EXPECT_THROW(SessionDocumentFile::update(path, [&](SessionMetadata&) { changed = true; }), FileError);
    EXPECT_FALSE(changed);
    EXPECT_EQ(test::TemporaryFolder::readAll(path), QByteArray(R"({"not": "a session"})"));
}

} // namespace
} // namespace ebbcast
