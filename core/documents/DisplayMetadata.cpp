#include "core/documents/DisplayMetadata.h"

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
    members("width"_L1, self.width);
    members("height"_L1, self.height);
    members("name"_L1, self.name);
}

} // namespace

std::optional<DisplayMetadata> DisplayMetadata::fromJson(const QJsonValue& json)
{
    DisplayMetadata value;
    JsonObjectReader reader(json);
    describe(value, reader);
    return reader.result(std::move(value));
}

QJsonObject DisplayMetadata::toJson() const
{
    JsonObjectWriter writer;
    describe(*this, writer);
    return writer.object();
}

} // namespace ebbcast
