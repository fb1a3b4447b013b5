#include "core/documents/ActiveAppMetadata.h"

#include "core/json/JsonObjectReader.h"
#include "core/json/JsonObjectWriter.h"

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

// Every member with its key, in declaration order: the one list that reading and writing share.
template <typename Self, typename Members>
void describe(Self& self, Members& members)
{
    members("name"_L1, self.name);
    members("bundleIdentifier"_L1, self.bundleIdentifier);
}

} // namespace

std::optional<ActiveAppMetadata> ActiveAppMetadata::fromJson(const QJsonValue& json)
{
    ActiveAppMetadata value;
    JsonObjectReader reader(json);
    describe(value, reader);
    return reader.result(std::move(value));
}

QJsonObject ActiveAppMetadata::toJson() const
{
    JsonObjectWriter writer;
    describe(*this, writer);
    return writer.object();
}

} // namespace ebbcast
