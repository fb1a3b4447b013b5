#include "core/documents/SessionMarker.h"

#include "core/json/JsonObjectReader.h"
#include "core/json/JsonObjectWriter.h"

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

// Every member with its key, in declaration order: the one list that reading and writing share.
template <typename Self, typename Members>
void describe(Self& self, Members& members)
{
    members("id"_L1, self.id);
    members("timestamp"_L1, self.timestamp);
    members("created_at"_L1, self.createdAt);
    members("label"_L1, self.label);
}

} // namespace

std::optional<SessionMarker> SessionMarker::fromJson(const QJsonValue& json)
{
    SessionMarker value;
    JsonObjectReader reader(json);
    describe(value, reader);
    return reader.result(std::move(value));
}

QJsonObject SessionMarker::toJson() const
{
    JsonObjectWriter writer;
    describe(*this, writer);
    return writer.object();
}

} // namespace ebbcast
