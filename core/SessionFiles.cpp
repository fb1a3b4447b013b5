#include "SessionFiles.h"

#include "JsonObjectReader.h"
#include "JsonObjectWriter.h"

using namespace Qt::StringLiterals;

namespace ebbcast {

std::optional<SessionFiles> SessionFiles::fromJson(const QJsonValue& json)
{
    SessionFiles value;
    JsonObjectReader reader(json);
    reader.required("screen"_L1, value.screen)
        .required("system_audio"_L1, value.systemAudio)
        .required("microphone"_L1, value.microphone)
        .required("metadata"_L1, value.metadata);
    return reader.result(std::move(value));
}

QJsonObject SessionFiles::toJson() const
{
    return JsonObjectWriter()
        .set("screen"_L1, screen)
        .set("system_audio"_L1, systemAudio)
        .set("microphone"_L1, microphone)
        .set("metadata"_L1, metadata)
        .object();
}

} // namespace ebbcast
