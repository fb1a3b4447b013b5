#include "SessionMarker.h"

#include "JsonObjectReader.h"
#include "JsonObjectWriter.h"

using namespace Qt::StringLiterals;

namespace ebbcast {

std::optional<SessionMarker> SessionMarker::fromJson(const QJsonValue& json)
{
    SessionMarker value;
    JsonObjectReader reader(json);
    reader.required("id"_L1, value.id)
        .required("timestamp"_L1, value.timestamp)
        .required("created_at"_L1, value.createdAt)
        .required("label"_L1, value.label);
    return reader.result(std::move(value));
}

QJsonObject SessionMarker::toJson() const
{
    return JsonObjectWriter()
        .set("id"_L1, id)
        .set("timestamp"_L1, timestamp)
        .set("created_at"_L1, createdAt)
        .set("label"_L1, label)
        .object();
}

} // namespace ebbcast
