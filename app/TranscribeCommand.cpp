#include "app/TranscribeCommand.h"

#include "app/AppDelegate.h"
#include "app/ArgumentParser.h"
#include "app/CommandContext.h"
#include "app/Console.h"
#include "app/SessionDeliveryWait.h"
#include "app/SettingsWiring.h"
#include "core/documents/SessionMetadata.h"
#include "core/json/JsonDocumentFile.h"
#include "core/settings/PreferencesStore.h"
#include "drive/UploadManager.h"
#include "transcription/ChunkTranscriptionStatus.h"
#include "transcription/GlossenChunkPipeline.h"
#include "transcription/SessionChunks.h"
#include "transcription/TranscriptFinalizer.h"

#include <QDir>
#include <QFileInfo>

#include <map>

using namespace Qt::StringLiterals;

namespace ebbcast {

namespace {

// The statuses in the order the summary names them.
const std::vector<QString>& summaryOrder()
{
    static const std::vector<QString> order{
        u"complete"_s,      u"complete_empty"_s, u"complete_missing_transcript"_s,
        u"upload_failed"_s, u"polling_failed"_s, u"accepted"_s,
        u"not submitted"_s,
    };
    return order;
}

} // namespace

TranscribeCommand::TranscribeCommand() = default;
TranscribeCommand::~TranscribeCommand() = default;

QString TranscribeCommand::name() const
{
    return u"transcribe"_s;
}

QString TranscribeCommand::summary() const
{
    return u"  transcribe FOLDER          finish the transcripts of a stopped session and deliver them\n"_s;
}

QString TranscribeCommand::usage() const
{
    return u"Usage: ebbcast transcribe FOLDER\n\n"
           "Finishes the chunk transcripts of the stopped session in FOLDER through the transcription\n"
           "gateway (settings glossenGatewayBaseURL and glossenGatewayToken; \"local\" is the offline\n"
           "gateway, started when needed), whatever the setting enableLiveTranscription says: chunks\n"
           "never sent, cut off or failed are sent again, accepted ones are asked for again, and a\n"
           "transcript whose file, Drive upload or relay message is missing gets it from the stored text.\n"
           "Then the final transcript documents are written into FOLDER/transcripts and, with\n"
           "googleUploadEnabled, delivered to Drive, with retries.\n"
           "Standard error gets a line per chunk and a summary by status. While it runs, the session is\n"
           "held: the application and other commands leave it alone.\n\n"
           "Options:\n"
           "  -h, --help  show this help\n\n"
           "Exit status: 0 every chunk has a transcript (or was silent) and the final documents exist;\n"
           "1 a chunk failed (the final documents name it), the gateway is not configured, FOLDER is not\n"
           "a stopped session (an interrupted one needs 'ebbcast recover' first), or Ctrl-C stopped it\n"
           "(run the command again to go on); 2 usage error; 3 another process works on it.\n"_s;
}

std::optional<UsageError> TranscribeCommand::parse(const QStringList& arguments)
{
    const auto parsed = ArgumentParser::parse(arguments, {});
    if (const auto* error = std::get_if<UsageError>(&parsed))
        return *error;
    const auto& options = std::get<ArgumentParser::Parsed>(parsed);
    if (options.arguments.size() != 1)
        return UsageError{u"transcribe takes one session folder"_s};
    folder_ = QDir::cleanPath(QFileInfo(options.arguments.constFirst()).absoluteFilePath());
    return std::nullopt;
}

QCoro::Task<int> TranscribeCommand::run(CommandContext& context)
{
    Console& console = context.console;
    if (context.stopSignals.received() != 0)
        co_return endedBySignal;
    const GlossenGatewaySettings gateway = SettingsWiring::gatewaySettings(context.preferences)();
    if (!SettingsWiring::isGatewayConfigured(gateway)) {
        console.error(u"The transcription gateway is not configured: set glossenGatewayBaseURL to local (the "
                      "offline gateway) or to a gateway's address with its glossenGatewayToken (ebbcast "
                      "settings set NAME VALUE)."_s);
        co_return 1;
    }
    const std::optional<QJsonObject> stored =
        JsonDocumentFile::readObject(QDir(folder_).filePath(u"metadata.json"_s));
    const std::optional<SessionMetadata> session = stored ? SessionMetadata::fromJson(*stored) : std::nullopt;
    if (!session) {
        console.error(folder_ + u" is not a session folder: it holds no readable metadata.json."_s);
        co_return 1;
    }
    if (!session->endTime) {
        console.error(
            folder_ +
            u" has no end time: it is still recording, or was interrupted (run ebbcast recover)."_s);
        co_return 1;
    }

    AppDelegate& application = *context.application;
    GlossenChunkPipeline& pipeline = *application.pipeline();
    GlossenChunkPipeline::Resume refusal = GlossenChunkPipeline::Resume::unavailable;
    // Held across the chunks and the final transcript, so that nobody else starts on the session meanwhile.
    const std::optional<GlossenChunkPipeline::Claim> claim = pipeline.claimSession(folder_, &refusal);
    if (!claim) {
        console.error(refusal == GlossenChunkPipeline::Resume::heldElsewhere
                          ? u"Another Ebbcast process is working on "_s + folder_ +
                                u"; try again once it is done."_s
                          : u"Cannot lock "_s + folder_ + u" (see the log)."_s);
        co_return refusal == GlossenChunkPipeline::Resume::heldElsewhere ? 3 : 1;
    }

    QObject::connect(&pipeline, &GlossenChunkPipeline::chunkOutcome, &pipeline,
                     [&console](const QString&, const QString& chunkFile, ChunkTranscriptionStatus status,
                                const QString& detail) {
                         console.error(QFileInfo(chunkFile).fileName() + u": "_s + toString(status) +
                                       (detail.isEmpty() ? QString() : u" ("_s + detail + u')'));
                     });
    const GlossenChunkPipeline::Resume resumed = pipeline.resumeSessionTranscription(folder_);
    if (resumed != GlossenChunkPipeline::Resume::started) {
        console.error(u"Cannot work on "_s + folder_ + u" (see the log)."_s);
        co_return 1;
    }
    wait_ = std::make_unique<SessionDeliveryWait>(pipeline, *application.finalizer(), context.uploads,
                                                  context.stopSignals, console);
    auto waiting = wait_->waitFor(folder_);
    const bool done = co_await waiting;
    QObject::disconnect(&pipeline, &GlossenChunkPipeline::chunkOutcome, &pipeline, nullptr);
    if (!done) {
        console.error(u"Interrupted. Run 'ebbcast transcribe "_s + folder_ + u"' again to go on."_s);
        co_return 1;
    }

    // The summary, from what the documents say now.
    std::map<QString, int> counts;
    int chunks = 0;
    int transcribed = 0;
    for (const RecordingChunkMetadata& chunk : readSessionChunks(folder_)) {
        const QString status = chunk.transcriptionStatus.value_or(u"not submitted"_s);
        ++chunks;
        ++counts[status];
        transcribed += status == u"complete" || status == u"complete_empty" ? 1 : 0;
    }
    QStringList parts;
    for (const QString& status : summaryOrder()) {
        if (const auto found = counts.find(status); found != counts.end()) {
            parts.append(QString::number(found->second) + u' ' + status);
            counts.erase(found);
        }
    }
    for (const auto& [status, count] : counts)
        parts.append(QString::number(count) + u' ' + status);
    console.error(u"Chunks: "_s + QString::number(chunks) +
                  (parts.isEmpty() ? QString() : u" ("_s + parts.join(u", "_s) + u')'));

    bool documents = true;
    for (const QString& key : TranscriptFinalizer::finalDocumentKeys())
        documents = documents && QFileInfo(QDir(folder_).filePath(key)).isFile();
    if (transcribed != chunks) {
        console.error(u"Not every chunk was transcribed: "_s + QString::number(chunks - transcribed) +
                      u" of "_s + QString::number(chunks) +
                      (documents
                           ? u" failed; the final documents in "_s + folder_ + u"/transcripts name them."_s
                           : u" failed."_s));
        co_return 1;
    }
    if (!documents) {
        console.error(u"The final transcript documents were not written (see the log)."_s);
        co_return 1;
    }
    console.error(u"Final transcript: "_s +
                  QDir(folder_).filePath(TranscriptFinalizer::finalDocumentKeys()[1]));
    co_return 0;
}

} // namespace ebbcast
