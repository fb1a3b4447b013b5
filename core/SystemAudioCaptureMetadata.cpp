#include "SystemAudioCaptureMetadata.h"

#include "JsonObjectReader.h"
#include "JsonObjectWriter.h"

using namespace Qt::StringLiterals;

namespace ebbcast {

SystemAudioCaptureMetadata SystemAudioCaptureMetadata::unavailable()
{
    // These texts are read by the transcript and relay stages as they stand.
    return {u"ScreenCaptureKit system audio"_s,
            u"unavailable"_s,
            0,
            std::nullopt,
            0,
            u"No ScreenCaptureKit system-audio buffers arrived."_s};
}

std::optional<SystemAudioCaptureMetadata> SystemAudioCaptureMetadata::fromJson(const QJsonValue& json)
{
    SystemAudioCaptureMetadata value;
    JsonObjectReader reader(json);
    reader.required("source"_L1, value.source)
        .required("status"_L1, value.status)
        .required("buffer_count"_L1, value.bufferCount)
        .optional("first_buffer_at"_L1, value.firstBufferAt)
        .required("last_level"_L1, value.lastLevel)
        .required("note"_L1, value.note);
    return reader.result(std::move(value));
}

QJsonObject SystemAudioCaptureMetadata::toJson() const
{
    return JsonObjectWriter()
        .set("source"_L1, source)
        .set("status"_L1, status)
        .set("buffer_count"_L1, bufferCount)
        .set("first_buffer_at"_L1, firstBufferAt)
        .set("last_level"_L1, lastLevel)
        .set("note"_L1, note)
        .object();
}

} // namespace ebbcast
