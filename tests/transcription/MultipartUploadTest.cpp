#include "support/TemporaryFolder.h"
#include "transcription/ChunkUploadForm.h"
#include "transcription/MultipartUploadDevice.h"

#include <QBuffer>
#include <QRegularExpression>

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <memory>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

// A file that reads normally up to `failAt`, then fails.
class FailingDevice : public QBuffer {
public:
    FailingDevice(QByteArray bytes, qint64 failAt)
        : failAt_(failAt)
    {
        setData(bytes);
        open(QIODevice::ReadOnly | QIODevice::Unbuffered);
    }

protected:
    qint64 readData(char* data, qint64 maxSize) override
    {
        if (pos() >= failAt_) {
            setErrorString(u"Input/output error"_s);
            return -1;
        }
        return QBuffer::readData(data, std::min(maxSize, failAt_ - pos()));
    }

private:
    qint64 failAt_;
};

std::unique_ptr<MultipartUploadDevice> deviceOver(const QByteArray& file, qint64 failAt = -1,
                                                  qint64 announced = -1)
{
    std::unique_ptr<QIODevice> inner;
    if (failAt >= 0) {
        inner = std::make_unique<FailingDevice>(file, failAt);
    } else {
        auto buffer = std::make_unique<QBuffer>();
        buffer->setData(file);
        buffer->open(QIODevice::ReadOnly | QIODevice::Unbuffered);
        inner = std::move(buffer);
    }
    return std::make_unique<MultipartUploadDevice>(
        "PRE", std::move(inner), announced >= 0 ? announced : file.size(), "EPI", u"/tmp/chunk.wav"_s);
}

TEST(ChunkUploadFormTest, FramingAndNames)
{
    const QByteArray boundary = ChunkUploadForm::newBoundary();
    EXPECT_TRUE(QRegularExpression(u"^Boundary-[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}$"_s)
                    .match(QString::fromLatin1(boundary))
                    .hasMatch())
        << boundary.toStdString();
    EXPECT_NE(ChunkUploadForm::newBoundary(), boundary);
    EXPECT_EQ(ChunkUploadForm::epilogue("B"), "\r\n--B--\r\n");
    EXPECT_EQ(
        ChunkUploadForm::preamble("B", "{}", u"x.m4a"_s),
        "--B\r\nContent-Disposition: form-data; name=\"metadata\"\r\nContent-Type: application/json\r\n\r\n{}"
        "\r\n--B\r\nContent-Disposition: form-data; name=\"file\"; filename=\"x.m4a\"\r\n"
        "Content-Type: audio/mp4\r\n\r\n");

    const std::pair<QString, QByteArray> mediaTypes[] = {
        {u"a.wav"_s, "audio/wav"},
        {u"a.WAV"_s, "audio/wav"},
        {u"a.Wav"_s, "audio/wav"},
        {u"a.m4a"_s, "audio/mp4"},
        {u"a.M4A"_s, "audio/mp4"},
        {u"a.caf"_s, "application/octet-stream"},
        {u"wav"_s, "application/octet-stream"},
        {u"a.wav.tmp"_s, "application/octet-stream"},
        {u"a."_s, "application/octet-stream"},
    };
    for (const auto& [name, type] : mediaTypes)
        EXPECT_EQ(ChunkUploadForm::mediaType(name), type) << name.toStdString();

    const std::pair<QString, QByteArray> names[] = {
        {u"mic_chunk_0001.wav"_s, "mic_chunk_0001.wav"},
        {u"a\"b.wav"_s, "a%22b.wav"},
        {u"a\\b.wav"_s, "a%5Cb.wav"},
        {u"a\r\nContent-Type: x.wav"_s, "a%0D%0AContent-Type: x.wav"},
        {u"Büro; name=x.wav"_s, "B\xc3\xbcro; name=x.wav"},
        {u"100%.wav"_s, "100%.wav"},
    };
    for (const auto& [name, quoted] : names)
        EXPECT_EQ(ChunkUploadForm::quotedFileNameText(name), quoted) << name.toStdString();
}

TEST(MultipartUploadDeviceTest, ReadsPreambleFileAndEpilogueFromAnyPosition)
{
    const QByteArray file = "0123456789";
    const QByteArray whole = "PRE0123456789EPI";
    auto device = deviceOver(file);
    EXPECT_FALSE(device->isSequential());
    EXPECT_EQ(device->size(), whole.size());
    EXPECT_EQ(device->readAll(), whole);
    EXPECT_TRUE(device->atEnd());

    for (qint64 start = 0; start <= whole.size(); ++start) {
        for (const qint64 length : {1, 2, 4, 11, 64}) {
            ASSERT_TRUE(device->seek(start));
            EXPECT_EQ(device->read(length), whole.mid(start, length)) << start << "+" << length;
        }
    }
    EXPECT_FALSE(device->seek(-1));
    EXPECT_FALSE(device->seek(whole.size() + 1));
    ASSERT_TRUE(device->reset());
    EXPECT_EQ(device->readAll(), whole) << "a rewound body is sent again whole";

    auto empty = deviceOver({});
    EXPECT_EQ(empty->readAll(), "PREEPI");
    EXPECT_FALSE(empty->failure().has_value());
}

TEST(MultipartUploadDeviceTest, AReadErrorMidwayFailsTheBodyOnce)
{
    struct Case {
        const char* name;
        qint64 failAt;
        qint64 announced;
        const char* reason;
    };
    const Case cases[] = {
        {"error", 4, -1, "Input/output error"},
        {"error at once", 0, -1, "Input/output error"},
        {"shorter than announced", -1, 20, "the file became shorter while it was sent"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto device = deviceOver("0123456789", c.failAt, c.announced);
        int calls = 0;
        device->onReadFailure = [&calls] {
            ++calls;
        };
        char buffer[64];
        qint64 total = 0;
        qint64 read = 0;
        while ((read = device->read(buffer, 3)) > 0)
            total += read;
        EXPECT_EQ(read, -1);
        EXPECT_LT(total, device->size());
        EXPECT_EQ(device->read(buffer, 3), -1) << "stays failed";
        EXPECT_EQ(calls, 1);
        ASSERT_TRUE(device->failure().has_value());
        EXPECT_EQ(device->failure()->path(), u"/tmp/chunk.wav"_s);
        EXPECT_TRUE(device->failure()->description().endsWith(QString::fromLatin1(c.reason)))
            << device->failure()->description().toStdString();
    }
}

TEST(MultipartUploadDeviceTest, OpensOnlyReadableRegularFiles)
{
    test::TemporaryFolder folder;
    const QString path = folder.file(u"c.wav"_s);
    test::TemporaryFolder::writeAll(path, "abc");
    const auto device = MultipartUploadDevice::open(path, "P", "E");
    EXPECT_EQ(device->readAll(), "PabcE");

    EXPECT_THROW(MultipartUploadDevice::open(folder.file(u"missing.wav"_s), "P", "E"), FileError);
    EXPECT_THROW(MultipartUploadDevice::open(folder.path(), "P", "E"), FileError);
    const QString fifo = folder.file(u"pipe.wav"_s);
    ASSERT_EQ(::mkfifo(fifo.toLocal8Bit().constData(), 0600), 0);
    EXPECT_THROW(MultipartUploadDevice::open(fifo, "P", "E"), FileError) << "would block";
}

} // namespace
} // namespace ebbcast
