#include "WavHeaderRepair.h"

#include "FileError.h"

#include <QFile>

#include <algorithm>
#include <optional>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

constexpr std::uint32_t unknownSize32 = 0xFFFFFFFFU;

std::uint32_t readLE32(const char* bytes)
{
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i)
        value = (value << 8) | static_cast<unsigned char>(bytes[i]);
    return value;
}

QByteArray le32(std::uint32_t value)
{
    QByteArray bytes(4, '\0');
    for (int i = 0; i < 4; ++i)
        bytes[i] = static_cast<char>((value >> (8 * i)) & 0xFF);
    return bytes;
}

QByteArray le64(std::uint64_t value)
{
    return le32(static_cast<std::uint32_t>(value)) + le32(static_cast<std::uint32_t>(value >> 32));
}

struct Chunk {
    QByteArray id;
    qint64 headerOffset = 0; // where the 8-byte chunk header starts
    std::uint32_t size = 0;
};

class HeaderFile {
public:
    explicit HeaderFile(const QString& path)
        : file_(path)
        , path_(path)
    {
        if (!file_.open(QIODevice::ReadWrite))
            throw FileError(FileError::Code::readFailed, path, file_.errorString());
    }

    QByteArray read(qint64 offset, qint64 length)
    {
        if (!file_.seek(offset))
            fail(FileError::Code::readFailed);
        const QByteArray bytes = file_.read(length);
        if (bytes.size() != length)
            throw FileError(FileError::Code::readFailed, path_, u"the header ends early"_s);
        return bytes;
    }

    // Writes only bytes that differ; returns whether anything changed.
    bool update(qint64 offset, const QByteArray& bytes)
    {
        if (read(offset, bytes.size()) == bytes)
            return false;
        if (!file_.seek(offset) || file_.write(bytes) != bytes.size())
            fail(FileError::Code::writeFailed);
        return true;
    }

    void finish()
    {
        if (!file_.flush())
            fail(FileError::Code::writeFailed);
    }

    qint64 size() const { return file_.size(); }

    [[noreturn]] void invalid(const QString& reason) const
    {
        throw FileError(FileError::Code::readFailed, path_, reason);
    }

private:
    [[noreturn]] void fail(FileError::Code code) const { throw FileError(code, path_, file_.errorString()); }

    QFile file_;
    QString path_;
};

} // namespace

WavHeaderRepair::Result WavHeaderRepair::repair(const QString& path)
{
    HeaderFile file(path);
    const qint64 fileSize = file.size();
    if (fileSize < 12)
        file.invalid(u"not a WAV file (too short)"_s);
    const QByteArray riff = file.read(0, 12);
    const bool rf64 = riff.startsWith("RF64");
    if ((!riff.startsWith("RIFF") && !rf64) || riff.mid(8, 4) != "WAVE")
        file.invalid(u"not a WAV file"_s);

    // Walk the chunks up to "data", which runs to the end of the file in a file cut short.
    std::optional<Chunk> junk, ds64, fmt, fact, data;
    for (qint64 offset = 12; offset + 8 <= fileSize;) {
        const QByteArray header = file.read(offset, 8);
        Chunk chunk{header.left(4), offset, readLE32(header.constData() + 4)};
        if (chunk.id == "data") {
            data = chunk;
            break;
        }
        if (chunk.id == "JUNK" && !junk)
            junk = chunk;
        else if (chunk.id == "ds64")
            ds64 = chunk;
        else if (chunk.id == "fmt ")
            fmt = chunk;
        else if (chunk.id == "fact")
            fact = chunk;
        offset += 8 + chunk.size + (chunk.size & 1);
    }
    if (!fmt || fmt->size < 16)
        file.invalid(u"the WAV file has no format chunk"_s);
    if (!data)
        file.invalid(u"the WAV file has no data chunk"_s);
    if (rf64 && (!ds64 || ds64->size < 24))
        file.invalid(u"the RF64 file has no ds64 chunk"_s);

    const QByteArray format = file.read(fmt->headerOffset + 8, 16);
    const std::uint32_t blockAlign =
        static_cast<unsigned char>(format[12]) |
        (static_cast<std::uint32_t>(static_cast<unsigned char>(format[13])) << 8);
    if (blockAlign == 0)
        file.invalid(u"the WAV format chunk has a block size of 0"_s);

    const qint64 dataStart = data->headerOffset + 8;
    const auto available = static_cast<std::uint64_t>(fileSize - dataStart);
    const std::uint64_t dataBytes = available - available % blockAlign;
    const std::uint64_t frames = dataBytes / blockAlign;
    const std::uint64_t riffBytes = static_cast<std::uint64_t>(dataStart) - 8 + dataBytes;

    Result result;
    result.dataBytes = dataBytes;
    result.blockAlign = blockAlign;
    const bool needs64 = riffBytes > unknownSize32;

    if (rf64 || (needs64 && junk && junk->size >= 28 && junk->headerOffset == 12)) {
        const qint64 ds64Offset = rf64 ? ds64->headerOffset : junk->headerOffset;
        result.changed |= file.update(0, "RF64" + le32(unknownSize32));
        if (!rf64)
            result.changed |= file.update(ds64Offset, "ds64" + le32(junk->size));
        result.changed |= file.update(ds64Offset + 8, le64(riffBytes) + le64(dataBytes) + le64(frames));
        result.changed |= file.update(data->headerOffset + 4, le32(unknownSize32));
    } else {
        const auto clamp = [](std::uint64_t value) {
            return static_cast<std::uint32_t>(std::min<std::uint64_t>(value, unknownSize32));
        };
        result.changed |= file.update(4, le32(clamp(riffBytes)));
        result.changed |= file.update(data->headerOffset + 4, le32(clamp(dataBytes)));
        if (fact && fact->size >= 4)
            result.changed |= file.update(fact->headerOffset + 8, le32(clamp(frames)));
        if (needs64)
            result.dataBytes = clamp(dataBytes) - clamp(dataBytes) % blockAlign;
    }
    // The data chunk's odd-length pad byte, if a writer left one, is covered by the RIFF size only.
    file.finish();
    return result;
}

} // namespace ebbcast
