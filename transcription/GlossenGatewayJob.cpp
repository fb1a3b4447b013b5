#include "transcription/GlossenGatewayJob.h"

#include "transcription/GlossenReplyReader.h"

using namespace Qt::StringLiterals;

namespace ebbcast {

GlossenGatewayJob GlossenGatewayJob::fromJson(const QJsonValue& json, const QString& path)
{
    const GlossenReplyReader reader(json, path);
    GlossenGatewayJob value;
    value.gatewayJobID = reader.requiredIdentifier("id"_L1);
    value.state = reader.requiredString("state"_L1);
    value.glossenJobID = reader.optionalString("glossen_job_id"_L1);
    value.completedAt = reader.optionalString("completed_at"_L1);
    return value;
}

} // namespace ebbcast
