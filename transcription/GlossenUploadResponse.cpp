#include "transcription/GlossenUploadResponse.h"

#include "transcription/GlossenReplyReader.h"

using namespace Qt::StringLiterals;

namespace ebbcast {

GlossenUploadResponse GlossenUploadResponse::decode(const QByteArray& body)
{
    const GlossenReplyReader reader = GlossenReplyReader::parse(body);
    GlossenUploadResponse value;
    value.gatewayJobID = reader.requiredIdentifier("gateway_job_id"_L1);
    value.ebbcastChunkID = reader.requiredString("ebbcast_chunk_id"_L1);
    value.statusURL = reader.requiredString("status_url"_L1);
    value.collectionID = reader.optionalString("collection_id"_L1);
    return value;
}

} // namespace ebbcast
