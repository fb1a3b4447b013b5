#include "core/documents/ClockSyncSample.h"

#include "core/json/JsonObjectReader.h"
#include "core/json/JsonObjectWriter.h"

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

// Every member with its key, in declaration order: the one list that reading and writing share.
template <typename Self, typename Members>
void describe(Self& self, Members& members)
{
    members("client_send_time"_L1, self.clientSendTime);
    members("client_receive_time"_L1, self.clientReceiveTime);
    members("client_send_monotonic"_L1, self.clientSendMonotonic);
    members("client_receive_monotonic"_L1, self.clientReceiveMonotonic);
    members("server_time"_L1, self.serverTime);
    members("round_trip_ms"_L1, self.roundTripMilliseconds);
    members("estimated_offset_ms"_L1, self.estimatedOffsetMilliseconds);
}

} // namespace

std::optional<ClockSyncSample> ClockSyncSample::fromJson(const QJsonValue& json)
{
    ClockSyncSample value;
    JsonObjectReader reader(json);
    describe(value, reader);
    return reader.result(std::move(value));
}

QJsonObject ClockSyncSample::toJson() const
{
    JsonObjectWriter writer;
    describe(*this, writer);
    return writer.object();
}

} // namespace ebbcast
