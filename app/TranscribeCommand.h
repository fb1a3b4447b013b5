#pragma once

#include "app/Command.h"

#include <QString>

#include <memory>
#include <optional>

namespace ebbcast {

class SessionDeliveryWait;

// "ebbcast transcribe FOLDER": an explicit request to finish a stopped session's transcripts, whatever
// enableLiveTranscription says: chunks never submitted, cut off or failed are sent again, accepted ones are
// polled, complete ones get a missing transcript file, Drive upload or relay event from the stored text; then
// the final transcript is written and delivered, with its retries. Standard error gets a line per chunk
// outcome and a summary by status. It holds the session while it works: the application and other commands
// leave it alone meanwhile.
class TranscribeCommand : public Command {
public:
    TranscribeCommand();
    ~TranscribeCommand() override;

    QString name() const override;
    QString summary() const override;
    QString usage() const override;
    std::optional<UsageError> parse(const QStringList& arguments) override;
    bool catchesStopSignals() const override { return true; }
    // 0 when every chunk is "complete" or "complete_empty" and the final documents exist; 1 otherwise, or
    // when the gateway is not configured, the folder is no stopped session, another process holds it, or a
    // stop signal ended the run.
    QCoro::Task<int> run(CommandContext& context) override;

private:
    QString folder_;
    std::unique_ptr<SessionDeliveryWait> wait_; // kept to the end: its watchers may outlive the wait
};

} // namespace ebbcast
