#include "AudioDeviceMetadata.h"

#include "JsonObjectReader.h"
#include "JsonObjectWriter.h"

using namespace Qt::StringLiterals;

namespace ebbcast {

std::optional<AudioDeviceMetadata> AudioDeviceMetadata::fromJson(const QJsonValue& json)
{
    AudioDeviceMetadata value;
    JsonObjectReader reader(json);
    reader.required("microphone"_L1, value.microphone).required("system_audio"_L1, value.systemAudio);
    return reader.result(std::move(value));
}

QJsonObject AudioDeviceMetadata::toJson() const
{
    return JsonObjectWriter().set("microphone"_L1, microphone).set("system_audio"_L1, systemAudio).object();
}

} // namespace ebbcast
