#include "ActiveAppMetadata.h"

#include "JsonObjectReader.h"
#include "JsonObjectWriter.h"

using namespace Qt::StringLiterals;

namespace ebbcast {

std::optional<ActiveAppMetadata> ActiveAppMetadata::fromJson(const QJsonValue& json)
{
    ActiveAppMetadata value;
    JsonObjectReader reader(json);
    reader.required("name"_L1, value.name).required("bundleIdentifier"_L1, value.bundleIdentifier);
    return reader.result(std::move(value));
}

QJsonObject ActiveAppMetadata::toJson() const
{
    return JsonObjectWriter().set("name"_L1, name).set("bundleIdentifier"_L1, bundleIdentifier).object();
}

} // namespace ebbcast
