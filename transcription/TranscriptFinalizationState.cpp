#include "transcription/TranscriptFinalizationState.h"

#include "core/base/Logger.h"
#include "core/json/JsonDocumentFile.h"
#include "core/json/JsonObjectReader.h"
#include "core/json/JsonObjectWriter.h"

#include <QDir>
#include <QFile>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

template <typename Self, typename Members>
void describeState(Self& self, Members& members)
{
    members("status"_L1, self.status);
    members("source_chunk_count"_L1, self.sourceChunkCount);
    members("finalized_at"_L1, self.finalizedAt);
    members("notification_sent_at"_L1, self.notificationSentAt);
}

} // namespace

std::optional<TranscriptFinalizationState> TranscriptFinalizationState::fromJson(const QJsonValue& json)
{
    TranscriptFinalizationState state;
    JsonObjectReader reader(json);
    describeState(state, reader);
    return reader.result(std::move(state));
}

QJsonObject TranscriptFinalizationState::toJson() const
{
    JsonObjectWriter writer;
    describeState(*this, writer);
    return writer.object();
}

TranscriptFinalizationStateFile::TranscriptFinalizationStateFile(QString sessionFolder, Logger& logger,
                                                                 WallClock clock)
    : sessionFolder_(std::move(sessionFolder))
    , logger_(logger)
    , clock_(clock ? std::move(clock) : WallClock(systemTime))
{}

QString TranscriptFinalizationStateFile::path() const
{
    return QDir(sessionFolder_).filePath(fileName);
}

std::optional<TranscriptFinalizationState> TranscriptFinalizationStateFile::read() const
{
    const auto object = JsonDocumentFile::readObject(path());
    if (!object)
        return std::nullopt;
    return TranscriptFinalizationState::fromJson(*object);
}

TranscriptFinalizationState TranscriptFinalizationStateFile::loadForUpdate() const
{
    std::optional<TranscriptFinalizationState> stored;
    const auto decode = [&stored](const QJsonObject& object) {
        stored = TranscriptFinalizationState::fromJson(object);
        return stored.has_value();
    };
    const auto read = JsonDocumentFile::readState(path(), u"transcript state"_s, decode, clock_());
    using Outcome = JsonDocumentFile::StateRead::Outcome;
    switch (read.outcome) {
    case Outcome::decoded:
        return std::move(*stored);
    case Outcome::unreadable:
        throw TranscriptStateReadError(read.message);
    case Outcome::keptAside:
        logger_.error(read.message);
        break;
    case Outcome::missing:
        break;
    }
    return {};
}

void TranscriptFinalizationStateFile::save(const TranscriptFinalizationState& state) const
{
    JsonDocumentFile::write(path(), state.toJson());
}

} // namespace ebbcast
