#include "ClockSyncMetadata.h"

#include "JsonObjectReader.h"
#include "JsonObjectWriter.h"

using namespace Qt::StringLiterals;

namespace ebbcast {

std::optional<ClockSyncMetadata> ClockSyncMetadata::fromJson(const QJsonValue& json)
{
    ClockSyncMetadata value;
    JsonObjectReader reader(json);
    reader.required("provider"_L1, value.provider)
        .required("url"_L1, value.url)
        .optional("best_sample"_L1, value.bestSample)
        .required("samples"_L1, value.samples)
        .required("status"_L1, value.status);
    return reader.result(std::move(value));
}

QJsonObject ClockSyncMetadata::toJson() const
{
    return JsonObjectWriter()
        .set("provider"_L1, provider)
        .set("url"_L1, url)
        .set("best_sample"_L1, bestSample)
        .set("samples"_L1, samples)
        .set("status"_L1, status)
        .object();
}

} // namespace ebbcast
