#include "transcription/GlossenJobStatus.h"

#include "transcription/GlossenReplyReader.h"

using namespace Qt::StringLiterals;

namespace ebbcast {

GlossenJobStatus GlossenJobStatus::decode(const QByteArray& body)
{
    const GlossenReplyReader reader = GlossenReplyReader::parse(body);
    GlossenJobStatus value;
    value.job = GlossenGatewayJob::fromJson(reader.requiredObject("job"_L1), reader.pathOf("job"_L1));
    return value;
}

} // namespace ebbcast
