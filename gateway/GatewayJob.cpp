#include "gateway/GatewayJob.h"

#include "core/json/JsonObjectReader.h"
#include "core/json/JsonObjectWriter.h"

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

template <typename Self, typename Members>
void describe(Self& self, Members& members, QString& state)
{
    members("id"_L1, self.id);
    members("session_id"_L1, self.chunk.sessionID);
    members("chunk_kind"_L1, self.chunk.chunkKind);
    members("chunk_index"_L1, self.chunk.chunkIndex);
    members("audio_sha256"_L1, self.chunk.sha256);
    members("ebbcast_chunk_id"_L1, self.chunkID);
    members("audio_file_name"_L1, self.audioFileName);
    members("audio_bytes"_L1, self.audioBytes);
    members("sequence"_L1, self.sequence);
    members("state"_L1, state);
    members("attempts"_L1, self.attempts);
    members("created_at"_L1, self.createdAt);
    members("started_at"_L1, self.startedAt);
    members("ended_at"_L1, self.endedAt);
    members("failure"_L1, self.failure);
    members("transcript_bytes"_L1, self.transcriptBytes);
    members("transcript_sha256"_L1, self.transcriptSha256);
    members("audio_seconds"_L1, self.audioSeconds);
    members("recognition_cpu_seconds"_L1, self.recognitionSeconds);
}

} // namespace

QString jobStateName(JobState state)
{
    switch (state) {
    case JobState::queued:
        return u"QUEUED"_s;
    case JobState::running:
        return u"RUNNING"_s;
    case JobState::complete:
        return u"COMPLETE"_s;
    case JobState::permanentFailure:
        return u"PERMANENT_FAILURE"_s;
    }
    return {};
}

std::optional<JobState> jobStateFromName(const QString& name)
{
    for (JobState state :
         {JobState::queued, JobState::running, JobState::complete, JobState::permanentFailure}) {
        if (jobStateName(state) == name)
            return state;
    }
    return std::nullopt;
}

std::optional<GatewayJob> GatewayJob::fromJson(const QJsonObject& json)
{
    GatewayJob job;
    QString state;
    JsonObjectReader reader(json);
    describe(job, reader, state);
    const auto decodedState = jobStateFromName(state);
    if (!reader.ok() || !decodedState)
        return std::nullopt;
    job.state = *decodedState;
    return job;
}

QJsonObject GatewayJob::toJson() const
{
    JsonObjectWriter writer;
    QString stateName = jobStateName(state);
    describe(*this, writer, stateName);
    return writer.object();
}

} // namespace ebbcast
