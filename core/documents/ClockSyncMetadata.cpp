#include "core/documents/ClockSyncMetadata.h"

#include "core/json/JsonObjectReader.h"
#include "core/json/JsonObjectWriter.h"

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

// Every member with its key, in declaration order: the one list that reading and writing share.
template <typename Self, typename Members>
void describe(Self& self, Members& members)
{
    members("provider"_L1, self.provider);
    members("url"_L1, self.url);
    members("best_sample"_L1, self.bestSample);
    members("samples"_L1, self.samples);
    members("status"_L1, self.status);
}

} // namespace

std::optional<ClockSyncMetadata> ClockSyncMetadata::fromJson(const QJsonValue& json)
{
    ClockSyncMetadata value;
    JsonObjectReader reader(json);
    describe(value, reader);
    return reader.result(std::move(value));
}

QJsonObject ClockSyncMetadata::toJson() const
{
    JsonObjectWriter writer;
    describe(*this, writer);
    return writer.object();
}

} // namespace ebbcast
