#include "core/documents/AudioDeviceMetadata.h"

#include "core/json/JsonObjectReader.h"
#include "core/json/JsonObjectWriter.h"

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

// Every member with its key, in declaration order: the one list that reading and writing share.
template <typename Self, typename Members>
void describe(Self& self, Members& members)
{
    members("microphone"_L1, self.microphone);
    members("system_audio"_L1, self.systemAudio);
}

} // namespace

std::optional<AudioDeviceMetadata> AudioDeviceMetadata::fromJson(const QJsonValue& json)
{
    AudioDeviceMetadata value;
    JsonObjectReader reader(json);
    describe(value, reader);
    return reader.result(std::move(value));
}

QJsonObject AudioDeviceMetadata::toJson() const
{
    JsonObjectWriter writer;
    describe(*this, writer);
    return writer.object();
}

} // namespace ebbcast
