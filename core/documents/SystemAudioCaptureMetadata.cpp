#include "core/documents/SystemAudioCaptureMetadata.h"

#include "core/json/JsonObjectReader.h"
#include "core/json/JsonObjectWriter.h"

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

// Every member with its key, in declaration order: the one list that reading and writing share.
template <typename Self, typename Members>
void describe(Self& self, Members& members)
{
    members("source"_L1, self.source);
    members("status"_L1, self.status);
    members("buffer_count"_L1, self.bufferCount);
    members("first_buffer_at"_L1, self.firstBufferAt);
    members("last_level"_L1, self.lastLevel);
    members("note"_L1, self.note);
}

} // namespace

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
    describe(value, reader);
    return reader.result(std::move(value));
}

QJsonObject SystemAudioCaptureMetadata::toJson() const
{
    JsonObjectWriter writer;
    describe(*this, writer);
    return writer.object();
}

} // namespace ebbcast
