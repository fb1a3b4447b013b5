#include "core/documents/SessionMetadata.h"

#include "core/json/JsonObjectReader.h"
#include "core/json/JsonObjectWriter.h"

#include <algorithm>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

// Every member with its key, in declaration order: the one list that reading and writing share.
template <typename Self, typename Members>
void describe(Self& self, Members& members)
{
    members("session_id"_L1, self.sessionID);
    members("start_time"_L1, self.startTime);
    members("end_time"_L1, self.endTime);
    members("duration"_L1, self.duration);
    members("active_app_name"_L1, self.activeAppName);
    members("active_app_bundle_id"_L1, self.activeAppBundleID);
    members("recorder"_L1, self.recorder);
    members("clock_sync"_L1, self.clockSync);
    members("display"_L1, self.display);
    members("audio_device_names"_L1, self.audioDevices);
    members("system_audio_capture"_L1, self.systemAudioCapture);
    members("interrupted"_L1, self.interrupted);
    members("interruption_note"_L1, self.interruptionNote);
    members("wrap_up"_L1, self.wrapUp);
    members("markers"_L1, self.markers);
    members("live_chunks"_L1, self.liveChunks);
    members("file_paths"_L1, self.files);
    members("app_version"_L1, self.appVersion);
}

} // namespace

void SessionMetadata::addMissingChunks(const std::vector<RecordingChunkMetadata>& chunks)
{
    if (!liveChunks)
        liveChunks = std::vector<RecordingChunkMetadata>{};
    for (const RecordingChunkMetadata& chunk : chunks) {
        if (std::none_of(liveChunks->begin(), liveChunks->end(),
                         [&chunk](const auto& entry) { return entry.filePath == chunk.filePath; }))
            liveChunks->push_back(chunk);
    }
}

std::optional<SessionMetadata> SessionMetadata::fromJson(const QJsonValue& json)
{
    SessionMetadata value;
    JsonObjectReader reader(json);
    describe(value, reader);
    return reader.result(std::move(value));
}

QJsonObject SessionMetadata::toJson() const
{
    JsonObjectWriter writer;
    describe(*this, writer);
    return writer.object();
}

} // namespace ebbcast
