#include "capture/WavHeaderRepair.h"

#include "core/base/FileError.h"

#include <QFile>

#include <unistd.h>

#include <algorithm>
#include <optional>
#include <vector>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

constexpr std::uint32_t unknownSize32 = 0xFFFFFFFFU;
// The header chunks before "data" are read whole; ours take about a hundred bytes.
constexpr qint64 maximumHeaderBytes = 1024 * 1024;
// Three 64-bit sizes (RIFF, data, frames) and the length of an empty table.
constexpr std::uint32_t ds64Bytes = 28;

std::uint32_t readLE(const QByteArray& bytes, qint64 offset, int width)
{
    std::uint32_t value = 0;
    for (int i = width - 1; i >= 0; --i)
        value = (value << 8) | static_cast<unsigned char>(bytes[offset + i]);
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
    qint64 offset = 0; // where the 8-byte chunk header starts
    std::uint32_t size = 0;

    // Where the next chunk starts: chunks of odd size are followed by a pad byte.
    qint64 end() const { return offset + 8 + size + (size & 1); }
};

struct Sizes {
    std::uint64_t riff = 0;
    std::uint64_t data = 0;
    std::uint64_t frames = 0;
};

// The header chunks (everything before "data") and the data chunk header, as read from the file.
struct Header {
    QByteArray bytes; // from the start of the file to the end of the data chunk header
    std::vector<Chunk> chunks;
    Chunk data;

    const Chunk* find(const char* id) const
    {
        const auto found =
            std::find_if(chunks.begin(), chunks.end(), [id](const Chunk& c) { return c.id == id; });
        return found == chunks.end() ? nullptr : &*found;
    }
};

Header readHeader(QFile& file, const QString& path)
{
    const auto invalid = [&path](const QString& reason) {
        return FileError(FileError::Code::readFailed, path, reason);
    };
    const auto readAt = [&](qint64 offset, qint64 length) {
        if (!file.seek(offset))
            throw FileError(FileError::Code::readFailed, path, file.errorString());
        QByteArray bytes = file.read(length);
        if (bytes.size() != length)
            throw invalid(u"the header ends early"_s);
        return bytes;
    };
    const qint64 fileSize = file.size();
    if (fileSize < 12)
        throw invalid(u"not a WAV file (too short)"_s);
    const QByteArray riff = readAt(0, 12);
    if ((!riff.startsWith("RIFF") && !riff.startsWith("RF64")) || riff.mid(8, 4) != "WAVE")
        throw invalid(u"not a WAV file"_s);

    // Walk the chunks up to "data", which runs to the end of the file in a file cut short.
    Header header;
    std::optional<Chunk> data;
    for (qint64 offset = 12; offset + 8 <= fileSize && offset <= maximumHeaderBytes;) {
        const QByteArray chunkHeader = readAt(offset, 8);
        Chunk chunk{chunkHeader.left(4), offset, readLE(chunkHeader, 4, 4)};
        if (chunk.id == "data") {
            data = chunk;
            break;
        }
        header.chunks.push_back(chunk);
        offset = chunk.end();
    }
    if (!data)
        throw invalid(u"the WAV file has no data chunk"_s);
    header.data = *data;
    header.bytes = readAt(0, data->offset + 8);
    return header;
}

// The RF64 header WavFileWriter's library writes past 4 GiB, for a RIFF header of the same length: "RF64",
// ds64, the other header chunks in their order (without JUNK, fact and PAD), a PAD chunk over the rest and
// the data chunk header at its old place. Nothing when the other chunks leave no room for that.
std::optional<QByteArray> rf64Layout(const Header& header, const Sizes& sizes)
{
    QByteArray out = "RF64" + le32(unknownSize32) + "WAVE";
    out += "ds64" + le32(ds64Bytes) + le64(sizes.riff) + le64(sizes.data) + le64(sizes.frames) + le32(0);
    for (const Chunk& chunk : header.chunks) {
        if (chunk.id == "JUNK" || chunk.id == "fact" || chunk.id == "PAD " || chunk.id == "ds64")
            continue;
        out += header.bytes.mid(chunk.offset, chunk.end() - chunk.offset);
    }
    const qint64 room = header.data.offset - out.size();
    if (room < 0 || (room > 0 && room < 8))
        return std::nullopt;
    if (room > 0)
        out += "PAD " + le32(static_cast<std::uint32_t>(room - 8)) + QByteArray(room - 8, '\0');
    return out + "data" + le32(unknownSize32);
}

void writeChanges(const QString& path, const QByteArray& before, const QByteArray& after)
{
    qsizetype first = 0;
    while (before[first] == after[first])
        ++first;
    qsizetype last = after.size() - 1;
    while (before[last] == after[last])
        --last;
    QFile file(path);
    if (!file.open(QIODevice::ReadWrite | QIODevice::ExistingOnly))
        throw FileError(FileError::Code::writeFailed, path, file.errorString());
    const QByteArray changed = after.mid(first, last - first + 1);
    if (!file.seek(first) || file.write(changed) != changed.size() || !file.flush() ||
        ::fsync(file.handle()) != 0)
        throw FileError(FileError::Code::writeFailed, path, file.errorString());
}

} // namespace

double WavHeaderRepair::Result::seconds() const
{
    if (blockAlign == 0 || sampleRate == 0)
        return 0;
    return static_cast<double>(dataBytes / blockAlign) / sampleRate;
}

WavHeaderRepair::Result WavHeaderRepair::repair(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw FileError(FileError::Code::readFailed, path, file.errorString());
    const Header header = readHeader(file, path);
    const qint64 fileSize = file.size();
    file.close();

    const bool rf64 = header.bytes.startsWith("RF64");
    const Chunk* fmt = header.find("fmt ");
    const Chunk* ds64 = header.find("ds64");
    const Chunk* fact = header.find("fact");
    if (!fmt || fmt->size < 16)
        throw FileError(FileError::Code::readFailed, path, u"the WAV file has no format chunk"_s);
    if (rf64 && (!ds64 || ds64->size < 24))
        throw FileError(FileError::Code::readFailed, path, u"the RF64 file has no ds64 chunk"_s);

    Result result;
    result.sampleRate = readLE(header.bytes, fmt->offset + 8 + 4, 4);
    result.blockAlign = readLE(header.bytes, fmt->offset + 8 + 12, 2);
    if (result.blockAlign == 0)
        throw FileError(FileError::Code::readFailed, path, u"the WAV format chunk has a block size of 0"_s);

    const qint64 dataStart = header.data.offset + 8;
    const auto available = static_cast<std::uint64_t>(fileSize - dataStart);
    Sizes sizes;
    sizes.data = available - available % result.blockAlign;
    sizes.frames = sizes.data / result.blockAlign;
    sizes.riff = static_cast<std::uint64_t>(dataStart) - 8 + sizes.data;
    result.dataBytes = sizes.data;

    QByteArray repaired = header.bytes;
    const auto put = [&repaired](qint64 offset, const QByteArray& bytes) {
        repaired.replace(offset, bytes.size(), bytes);
    };
    const bool needs64 = sizes.riff > unknownSize32;
    std::optional<QByteArray> converted;
    if (rf64) {
        put(4, le32(unknownSize32));
        put(ds64->offset + 8, le64(sizes.riff) + le64(sizes.data) + le64(sizes.frames));
        put(header.data.offset + 4, le32(unknownSize32));
    } else if (needs64 && (converted = rf64Layout(header, sizes))) {
        repaired = *converted;
    } else {
        const auto clamp = [](std::uint64_t value) {
            return static_cast<std::uint32_t>(std::min<std::uint64_t>(value, unknownSize32));
        };
        put(4, le32(clamp(sizes.riff)));
        put(header.data.offset + 4, le32(clamp(sizes.data)));
        if (fact && fact->size >= 4)
            put(fact->offset + 8, le32(clamp(sizes.frames)));
        if (needs64)
            result.dataBytes = clamp(sizes.data) - clamp(sizes.data) % result.blockAlign;
    }
    // The data chunk's odd-length pad byte, if a writer left one, is covered by the RIFF size only.
    if (repaired != header.bytes) {
        writeChanges(path, header.bytes, repaired);
        result.changed = true;
    }
    return result;
}

} // namespace ebbcast
