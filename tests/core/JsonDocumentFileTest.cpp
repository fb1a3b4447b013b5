#include "core/json/JsonDocumentFile.h"

#include "support/TemporaryFolder.h"

#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

using Status = JsonDocumentFile::ReadResult::Status;
using IllegalNumbers = JsonDocumentFile::IllegalNumbers;

TEST(JsonDocumentFile, OnlyRegularFilesWithinTheSizeBoundAreRead)
{
    test::TemporaryFolder folder;
    EXPECT_EQ(JsonDocumentFile::read(folder.file(u"missing.json"_s)).status, Status::missing);
    EXPECT_EQ(JsonDocumentFile::read(folder.file(u"missing/document.json"_s)).status, Status::missing);

    const QString fifo = folder.file(u"fifo.json"_s);
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    QElapsedTimer timer;
    timer.start();
    const auto fromFifo = JsonDocumentFile::read(fifo);
    EXPECT_LT(timer.elapsed(), 1000) << "a FIFO without a writer does not block";
    EXPECT_EQ(fromFifo.status, Status::unreadable);
    EXPECT_EQ(fromFifo.problem, u"not a regular file"_s);
    EXPECT_EQ(JsonDocumentFile::read(folder.path()).status, Status::unreadable) << "a folder";

    const QString large = folder.file(u"large.json"_s);
    QFile file(large);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("{}");
    ASSERT_TRUE(file.resize(JsonDocumentFile::maximumSize + 1));
    file.close();
    const auto fromLarge = JsonDocumentFile::read(large);
    EXPECT_EQ(fromLarge.status, Status::unreadable);
    EXPECT_TRUE(fromLarge.problem.contains(u"larger than 16 MiB"_s)) << fromLarge.problem.toStdString();

    const QString atTheBound = folder.file(u"bound.json"_s);
    test::TemporaryFolder::writeAll(atTheBound,
                                    "{\"a\" : 1}" + QByteArray(JsonDocumentFile::maximumSize - 9, ' '));
    EXPECT_EQ(JsonDocumentFile::read(atTheBound).object, (QJsonObject{{u"a"_s, 1}}));
}

TEST(JsonDocumentFile, IllegalNumbersReadAsNullOnlyWhenAskedAndNameTheirMembers)
{
    test::TemporaryFolder folder;
    const QString path = folder.file(u"settings.json"_s);
    test::TemporaryFolder::writeAll(path, "{\n  \"silenceThreshold\": 1e309,\n  \"recorderName\": \"Ada\",\n"
                                          "  \"apps\": [\"Zoom\", -1E+999],\n  \"low\":1e-400,\n"
                                          "  \"nested\": {\"deep\": [1, 2e400]},\n  \"kept\": 2.5e3\n}\n");
    EXPECT_EQ(JsonDocumentFile::read(path).status, Status::unreadable) << "strict by default";

    const auto result = JsonDocumentFile::read(path, IllegalNumbers::readAsNull);
    ASSERT_EQ(result.status, Status::ok) << result.problem.toStdString();
    EXPECT_EQ(result.object,
              (QJsonObject{{u"silenceThreshold"_s, QJsonValue::Null},
                           {u"recorderName"_s, u"Ada"_s},
                           {u"apps"_s, QJsonArray{u"Zoom"_s, QJsonValue::Null}},
                           {u"low"_s, QJsonValue::Null},
                           {u"nested"_s, QJsonObject{{u"deep"_s, QJsonArray{1, QJsonValue::Null}}}},
                           {u"kept"_s, 2500}}));
    EXPECT_EQ(result.membersWithIllegalNumbers,
              (QStringList{u"apps"_s, u"low"_s, u"nested"_s, u"silenceThreshold"_s}));
}

TEST(JsonDocumentFile, OtherFaultsAfterAnIllegalNumberStayUnreadableWithTheFileOffset)
{
    test::TemporaryFolder folder;
    const QString path = folder.file(u"settings.json"_s);
    const QByteArray broken = "{\"a\": 1e309, \"b\": oops}";
    test::TemporaryFolder::writeAll(path, broken);
    const auto result = JsonDocumentFile::read(path, IllegalNumbers::readAsNull);
    EXPECT_EQ(result.status, Status::unreadable);
    const QJsonParseError direct = [&] {
        QJsonParseError error{};
        QJsonDocument::fromJson(QByteArray(broken).replace("1e309", "1    "), &error);
        return error;
    }();
    EXPECT_TRUE(result.problem.endsWith(u" at offset "_s + QString::number(direct.offset)))
        << result.problem.toStdString();

    QByteArray many = "{\"a\": [";
    for (int i = 0; i < 65; ++i)
        many += "1e999,";
    test::TemporaryFolder::writeAll(path, many + "0]}");
    EXPECT_EQ(JsonDocumentFile::read(path, IllegalNumbers::readAsNull).status, Status::unreadable);
    test::TemporaryFolder::writeAll(path, "[1e999]");
    EXPECT_EQ(JsonDocumentFile::read(path, IllegalNumbers::readAsNull).problem,
              u"the top level is not a JSON object"_s);
}

} // namespace
} // namespace ebbcast
