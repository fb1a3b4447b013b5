#pragma once

#include "app/Command.h"

#include <QString>

#include <chrono>

namespace ebbcast {

// "ebbcast upload FOLDER": sends one session folder to Google Drive now and waits for it, file by file, with
// a line per file on standard error. What is already on Drive is not sent again, and an upload cut short (a
// signal, a crash) resumes where it stopped on the next run. Works whether or not automatic uploads are on;
// never signs in (it says how to).
class UploadCommand : public Command {
public:
    // How long after a stop signal the upload may take to end by itself (between files, or while waiting)
    // before the process ends by the signal with the file in flight left for the next run.
    static constexpr std::chrono::milliseconds stopGrace{500};

    QString name() const override;
    QString summary() const override;
    QString usage() const override;
    std::optional<UsageError> parse(const QStringList& arguments) override;
    bool catchesStopSignals() const override { return true; }
    // 0 every file is on Drive; 1 a file failed, not signed in, or the folder is being recorded or needs
    // recovery; 2 not a session folder; ended by SIGINT/SIGTERM when stopped.
    QCoro::Task<int> run(CommandContext& context) override;

private:
    QString folder_;
};

} // namespace ebbcast
