#pragma once

#include <QDateTime>
#include <QJsonObject>
#include <QString>

#include <optional>

namespace ebbcast {

// Where a job is in its life. Only the last two are final.
enum class JobState { queued, running, complete, permanentFailure };

QString jobStateName(JobState state);
std::optional<JobState> jobStateFromName(const QString& name);

// What makes two uploads the same chunk: a client that retries, or replays after a restart, sends the same
// session, track, index and bytes again and must find the job it already has.
struct ChunkIdentity {
    QString sessionID;
    QString chunkKind;
    qint64 chunkIndex = 0;
    QString sha256; // of the audio bytes, lower-case hex

    bool operator==(const ChunkIdentity&) const = default;
};

// One transcription job as stored in "job.json" of its folder. Times are UTC with whole seconds.
struct GatewayJob {
    QString id;
    ChunkIdentity chunk;
    QString chunkID;       // the ebbcast chunk id the upload answer names
    QString audioFileName; // the audio's name in the job folder; kept in the document after the audio is gone
    qint64 audioBytes = 0;
    qint64 sequence = 0; // arrival order: the queue is first in, first out
    JobState state = JobState::queued;
    int attempts = 0; // runs started, saved before each run
    QDateTime createdAt;
    std::optional<QDateTime> startedAt; // of the latest run
    std::optional<QDateTime> endedAt;   // when the job became final
    std::optional<QString> failure;     // why it ended in PERMANENT_FAILURE: a short reason, never audio text
    std::optional<qint64> transcriptBytes;
    std::optional<QString> transcriptSha256;
    std::optional<double> audioSeconds;
    std::optional<double> recognitionSeconds; // CPU seconds the recognizer spent

    bool finished() const noexcept
    {
        return state == JobState::complete || state == JobState::permanentFailure;
    }

    static std::optional<GatewayJob> fromJson(const QJsonObject& json);
    QJsonObject toJson() const;
};

} // namespace ebbcast
