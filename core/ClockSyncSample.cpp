#include "ClockSyncSample.h"

#include "JsonObjectReader.h"
#include "JsonObjectWriter.h"

using namespace Qt::StringLiterals;

namespace ebbcast {

std::optional<ClockSyncSample> ClockSyncSample::fromJson(const QJsonValue& json)
{
    ClockSyncSample value;
    JsonObjectReader reader(json);
    reader.required("client_send_time"_L1, value.clientSendTime)
        .required("client_receive_time"_L1, value.clientReceiveTime)
        .required("client_send_monotonic"_L1, value.clientSendMonotonic)
        .required("client_receive_monotonic"_L1, value.clientReceiveMonotonic)
        .required("server_time"_L1, value.serverTime)
        .required("round_trip_ms"_L1, value.roundTripMilliseconds)
        .required("estimated_offset_ms"_L1, value.estimatedOffsetMilliseconds);
    return reader.result(std::move(value));
}

QJsonObject ClockSyncSample::toJson() const
{
    return JsonObjectWriter()
        .set("client_send_time"_L1, clientSendTime)
        .set("client_receive_time"_L1, clientReceiveTime)
        .set("client_send_monotonic"_L1, clientSendMonotonic)
        .set("client_receive_monotonic"_L1, clientReceiveMonotonic)
        .set("server_time"_L1, serverTime)
        .set("round_trip_ms"_L1, roundTripMilliseconds)
        .set("estimated_offset_ms"_L1, estimatedOffsetMilliseconds)
        .object();
}

} // namespace ebbcast
