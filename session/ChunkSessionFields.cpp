#include "session/ChunkSessionFields.h"

#include "core/documents/Timecode.h"

#include <algorithm>
#include <cmath>

using namespace Qt::StringLiterals;

namespace ebbcast {

void completeChunkSessionFields(RecordingChunkMetadata& chunk, const SessionMetadata* session)
{
    if (!session) {
        chunk.clockSyncStatus = u"not_configured"_s;
        return;
    }
    const auto secondsBetween = [](const QDateTime& from, const QDateTime& to) {
        return static_cast<double>(from.msecsTo(to)) / 1000.0;
    };
    const QDateTime sessionStart = session->startTime;
    const double startOffset = std::max(0.0, secondsBetween(sessionStart, chunk.startTime));
    const double endOffset = std::max(startOffset, secondsBetween(sessionStart, chunk.endTime));
    chunk.sessionStartTime = sessionStart;
    chunk.startOffsetSeconds = startOffset;
    chunk.endOffsetSeconds = endOffset;
    chunk.timecodeStart = timecode(startOffset);
    chunk.timecodeEnd = timecode(endOffset);

    const std::optional<ClockSyncMetadata>& clockSync = session->clockSync;
    if (!clockSync) {
        chunk.clockSyncStatus = u"not_configured"_s;
        return;
    }
    chunk.clockSyncStatus = clockSync->status;
    if (const auto& best = clockSync->bestSample) {
        const auto offsetMs = static_cast<qint64>(std::llround(best->estimatedOffsetMilliseconds));
        chunk.serverStartTime = chunk.startTime.addMSecs(offsetMs);
        chunk.serverEndTime = chunk.endTime.addMSecs(offsetMs);
        chunk.clockOffsetMilliseconds = best->estimatedOffsetMilliseconds;
        chunk.clockRoundTripMilliseconds = best->roundTripMilliseconds;
    }
}

} // namespace ebbcast
