#include "RecorderMetadata.h"

#include "JsonObjectReader.h"
#include "JsonObjectWriter.h"

using namespace Qt::StringLiterals;

namespace ebbcast {

std::optional<RecorderMetadata> RecorderMetadata::fromJson(const QJsonValue& json)
{
    RecorderMetadata value;
    JsonObjectReader reader(json);
    reader.required("id"_L1, value.id).required("name"_L1, value.name);
    return reader.result(std::move(value));
}

QJsonObject RecorderMetadata::toJson() const
{
    return JsonObjectWriter().set("id"_L1, id).set("name"_L1, name).object();
}

} // namespace ebbcast
