#include "core/documents/SessionFiles.h"

#include "core/json/JsonObjectReader.h"
#include "core/json/JsonObjectWriter.h"

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

// Every member with its key, in declaration order: the one list that reading and writing share.
template <typename Self, typename Members>
void describe(Self& self, Members& members)
{
    members("screen"_L1, self.screen);
    members("system_audio"_L1, self.systemAudio);
    members("microphone"_L1, self.microphone);
    members("metadata"_L1, self.metadata);
}

} // namespace

std::optional<SessionFiles> SessionFiles::fromJson(const QJsonValue& json)
{
    SessionFiles value;
    JsonObjectReader reader(json);
    describe(value, reader);
    return reader.result(std::move(value));
}

QJsonObject SessionFiles::toJson() const
{
    JsonObjectWriter writer;
    describe(*this, writer);
    return writer.object();
}

} // namespace ebbcast
