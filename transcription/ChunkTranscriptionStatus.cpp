#include "transcription/ChunkTranscriptionStatus.h"

#include <array>
#include <utility>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

const std::array<std::pair<ChunkTranscriptionStatus, QLatin1StringView>, 6>& names()
{
    static const std::array<std::pair<ChunkTranscriptionStatus, QLatin1StringView>, 6> table{{
        {ChunkTranscriptionStatus::accepted, "accepted"_L1},
        {ChunkTranscriptionStatus::uploadFailed, "upload_failed"_L1},
        {ChunkTranscriptionStatus::pollingFailed, "polling_failed"_L1},
        {ChunkTranscriptionStatus::complete, "complete"_L1},
        {ChunkTranscriptionStatus::completeEmpty, "complete_empty"_L1},
        {ChunkTranscriptionStatus::completeMissingTranscript, "complete_missing_transcript"_L1},
    }};
    return table;
}

} // namespace

QString toString(ChunkTranscriptionStatus status)
{
    for (const auto& [value, name] : names()) {
        if (value == status)
            return name;
    }
    return {};
}

std::optional<ChunkTranscriptionStatus> chunkTranscriptionStatus(const QString& text)
{
    for (const auto& [value, name] : names()) {
        if (text == name)
            return value;
    }
    return std::nullopt;
}

bool isFinal(ChunkTranscriptionStatus status)
{
    return status != ChunkTranscriptionStatus::accepted;
}

bool isFinalTranscriptionStatus(const std::optional<QString>& stored)
{
    if (!stored)
        return false;
    const auto status = chunkTranscriptionStatus(*stored);
    return status && isFinal(*status);
}

} // namespace ebbcast
