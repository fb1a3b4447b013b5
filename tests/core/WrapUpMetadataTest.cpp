#include "core/documents/WrapUpMetadata.h"

#include "core/json/JsonDocumentFile.h"
#include "support/TemporaryFolder.h"

#include <QTimeZone>

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

TEST(WrapUpMetadata, IsWrittenByteForByteAndReadBack)
{
    const QDateTime start(QDate(2026, 12, 6), QTime(9, 20, 0), QTimeZone::utc());
    const WrapUpMetadata metadata =
        WrapUpMetadata::forMovie(u"/recordings/2026-12-06_09-15-02/wrap_up.mov"_s, start, start.addSecs(65));
    test::TemporaryFolder folder;
    const QString path = folder.file(u"wrap_up_metadata.json"_s);
    JsonDocumentFile::write(path, metadata.toJson());
    EXPECT_EQ(test::TemporaryFolder::readAll(path),
              "{\n"
              "  \"duration\" : 65,\n"
              "  \"end_time\" : \"2026-12-06T09:21:05Z\",\n"
              "  \"file_path\" : \"\\/recordings\\/2026-12-06_09-15-02\\/wrap_up.mov\",\n"
              "  \"note\" : \"Manual wrap-up camera and microphone note.\",\n"
              "  \"start_time\" : \"2026-12-06T09:20:00Z\"\n"
              "}\n");
    EXPECT_EQ(WrapUpMetadata::fromJson(metadata.toJson()), metadata);

    QJsonObject withoutNote = metadata.toJson();
    withoutNote.remove(u"note"_s);
    EXPECT_FALSE(WrapUpMetadata::fromJson(withoutNote).has_value()) << "every member is required";
}

TEST(WrapUpMetadata, EachMovieHasADocumentOfItsOwn)
{
    EXPECT_EQ(WrapUpMetadata::pathFor(u"/s/wrap_up.mov"_s), u"/s/wrap_up_metadata.json"_s);
    EXPECT_EQ(WrapUpMetadata::pathFor(u"/s/wrap_up_1.mov"_s), u"/s/wrap_up_1_metadata.json"_s);
    EXPECT_EQ(WrapUpMetadata::pathFor(u"/s/wrap_up_12.mov"_s), u"/s/wrap_up_12_metadata.json"_s);
}

} // namespace
} // namespace ebbcast
