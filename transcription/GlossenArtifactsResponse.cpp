#include "transcription/GlossenArtifactsResponse.h"

#include "transcription/GlossenReplyReader.h"

using namespace Qt::StringLiterals;

namespace ebbcast {

GlossenArtifactsResponse GlossenArtifactsResponse::decode(const QByteArray& body)
{
    const GlossenReplyReader reader = GlossenReplyReader::parse(body);
    GlossenArtifactsResponse value;
    value.gatewayJobID = reader.optionalIdentifier("gateway_job_id"_L1);
    const QJsonArray artifacts = reader.requiredArray("artifacts"_L1);
    const QString path = reader.pathOf("artifacts"_L1);
    value.artifacts.reserve(static_cast<size_t>(artifacts.size()));
    for (qsizetype i = 0; i < artifacts.size(); ++i)
        value.artifacts.push_back(GlossenArtifact::fromJson(artifacts[i], path + u"[%1]"_s.arg(i)));
    return value;
}

} // namespace ebbcast
