#include "DisplayMetadata.h"

#include "JsonObjectReader.h"
#include "JsonObjectWriter.h"

using namespace Qt::StringLiterals;

namespace ebbcast {

std::optional<DisplayMetadata> DisplayMetadata::fromJson(const QJsonValue& json)
{
    DisplayMetadata value;
    JsonObjectReader reader(json);
    reader.required("id"_L1, value.id)
        .required("width"_L1, value.width)
        .required("height"_L1, value.height)
        .optional("name"_L1, value.name);
    return reader.result(std::move(value));
}

QJsonObject DisplayMetadata::toJson() const
{
    return JsonObjectWriter()
        .set("id"_L1, id)
        .set("width"_L1, width)
        .set("height"_L1, height)
        .set("name"_L1, name)
        .object();
}

} // namespace ebbcast
