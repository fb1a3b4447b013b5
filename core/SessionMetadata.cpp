#include "SessionMetadata.h"

#include "JsonObjectReader.h"
#include "JsonObjectWriter.h"

using namespace Qt::StringLiterals;

namespace ebbcast {

std::optional<SessionMetadata> SessionMetadata::fromJson(const QJsonValue& json)
{
    SessionMetadata value;
    JsonObjectReader reader(json);
    reader.required("session_id"_L1, value.sessionID)
        .required("start_time"_L1, value.startTime)
        .optional("end_time"_L1, value.endTime)
        .optional("duration"_L1, value.duration)
        .required("active_app_name"_L1, value.activeAppName)
        .required("active_app_bundle_id"_L1, value.activeAppBundleID)
        .required("recorder"_L1, value.recorder)
        .optional("clock_sync"_L1, value.clockSync)
        .required("display"_L1, value.display)
        .required("audio_device_names"_L1, value.audioDevices)
        .required("system_audio_capture"_L1, value.systemAudioCapture)
        .optional("interrupted"_L1, value.interrupted)
        .optional("interruption_note"_L1, value.interruptionNote)
        .optional("wrap_up"_L1, value.wrapUp)
        .required("markers"_L1, value.markers)
        .optional("live_chunks"_L1, value.liveChunks)
        .required("file_paths"_L1, value.files)
        .required("app_version"_L1, value.appVersion);
    return reader.result(std::move(value));
}

QJsonObject SessionMetadata::toJson() const
{
    return JsonObjectWriter()
        .set("session_id"_L1, sessionID)
        .set("start_time"_L1, startTime)
        .set("end_time"_L1, endTime)
        .set("duration"_L1, duration)
        .set("active_app_name"_L1, activeAppName)
        .set("active_app_bundle_id"_L1, activeAppBundleID)
        .set("recorder"_L1, recorder)
        .set("clock_sync"_L1, clockSync)
        .set("display"_L1, display)
        .set("audio_device_names"_L1, audioDevices)
        .set("system_audio_capture"_L1, systemAudioCapture)
        .set("interrupted"_L1, interrupted)
        .set("interruption_note"_L1, interruptionNote)
        .set("wrap_up"_L1, wrapUp)
        .set("markers"_L1, markers)
        .set("live_chunks"_L1, liveChunks)
        .set("file_paths"_L1, files)
        .set("app_version"_L1, appVersion)
        .object();
}

} // namespace ebbcast
