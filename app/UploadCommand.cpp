#include "app/UploadCommand.h"

#include "app/ArgumentParser.h"
#include "app/CommandContext.h"
#include "app/Console.h"
#include "app/UploadProgressLines.h"
#include "core/base/DriveWebLinks.h"
#include "core/base/EbbcastError.h"
#include "core/base/KeyedMutex.h"
#include "drive/UploadManager.h"
#include "drive/UploadStateFile.h"
#include "session/RecordingSession.h"
#include "shell/StopSignals.h"

#include <QFileInfo>
#include <QObject>
#include <QTimer>

using namespace Qt::StringLiterals;

namespace ebbcast {

QString UploadCommand::name() const
{
    return u"upload"_s;
}

QString UploadCommand::summary() const
{
    return u"  upload FOLDER              send a session folder to Google Drive now\n"_s;
}

QString UploadCommand::usage() const
{
    return u"Usage: ebbcast upload FOLDER\n\n"
           "Sends the session folder FOLDER to Google Drive and waits until it is there and Drive has\n"
           "processed its movies. Files already on Drive are not sent again; an upload that was cut\n"
           "short (Ctrl-C, a crash) goes on where it stopped. One line per file on standard error.\n"
           "Works whether or not automatic uploads (googleUploadEnabled) are on; the Drive folder is\n"
           "the setting googleDriveFolderURL. Sign in first with 'ebbcast drive sign-in'. A session\n"
           "that is being recorded, or that a crash cut short, is refused ('ebbcast recover').\n\n"
           "Options:\n"
           "  -h, --help    show this help\n\n"
           "Exit status: 0 every file is on Drive; 1 a file failed, not signed in, or the session is\n"
           "being recorded or needs recovery; 2 usage error or not a session folder. Ctrl-C or SIGTERM\n"
           "ends it by that signal (130 or 143 in a shell); what is on Drive is kept.\n"_s;
}

std::optional<UsageError> UploadCommand::parse(const QStringList& arguments)
{
    const auto parsed = ArgumentParser::parse(arguments, {});
    if (const auto* error = std::get_if<UsageError>(&parsed))
        return *error;
    const QStringList words = std::get<ArgumentParser::Parsed>(parsed).arguments;
    if (words.size() != 1)
        return UsageError{u"upload takes one session folder"_s};
    folder_ = words.first();
    return std::nullopt;
}

QCoro::Task<int> UploadCommand::run(CommandContext& context)
{
    Console& console = context.console;
    StopSignals& stopSignals = context.stopSignals;
    WaitCancellation cancellation;
    QObject receiver;
    // A stop ends the upload at its next file or wait. A file in flight is not finished: its state was saved
    // before its first byte (and the resumable session's address with it), so the next run resumes it. If
    // the upload has not ended by itself shortly after, the process ends by the signal here, between two
    // events of the loop, where no state write is half done.
    const QString stopped = u"Stopped. What is on Google Drive is kept; 'ebbcast upload' again goes on.\n"_s;
    QObject::connect(&stopSignals, &StopSignals::caught, &receiver,
                     [&cancellation, &receiver, &stopSignals, &console, stopped] {
                         if (cancellation.isCancelled())
                             return;
                         cancellation.cancel();
                         QTimer::singleShot(stopGrace, &receiver, [&stopSignals, &console, stopped] {
                             console.write(stopped);
                             stopSignals.exitStatus(Command::endedBySignal);
                         });
                     });
    if (stopSignals.received() != 0)
        co_return endedBySignal;

    const QFileInfo info(folder_);
    const QString folder = info.absoluteFilePath();
    if (!info.isDir() || !QFileInfo(folder + u"/metadata.json"_s).isFile()) {
        console.error(folder_ + u" is not a session folder (it has no metadata.json)"_s);
        co_return 2;
    }
    if (QFileInfo::exists(folder + u'/' + RecordingSession::markerFileName())) {
        console.error(folder_ +
                      u" is being recorded, or a crash cut its recording short; once no recording is "
                      "running, 'ebbcast recover' repairs it and 'ebbcast upload' can send it"_s);
        co_return 1;
    }

    bool connected = false;
    try {
        connected = co_await context.uploads.isGoogleConnected();
    } catch (const EbbcastError& error) {
        console.error(error.description());
        co_return 1;
    }
    if (!connected) {
        console.error(u"not signed in to Google Drive; sign in with 'ebbcast drive sign-in'"_s);
        co_return 1;
    }

    UploadProgressLines lines(console);
    const UploadManager::ProgressSink sink = [&lines](const UploadManager::Progress& progress) {
        lines.report(progress);
    };
    std::optional<QString> failure;
    std::optional<QString> driveFolderID;
    try {
        const UploadState state = co_await context.uploads.uploadSessionNow(folder, sink, cancellation);
        driveFolderID = state.driveFolderID;
    } catch (const WaitCancelledError&) {
        failure = QString();
    } catch (const EbbcastError& error) {
        failure = error.description();
    }
    lines.endPercentage();
    if (failure && stopSignals.received() != 0) {
        console.write(stopped);
        co_return endedBySignal;
    }
    if (failure) {
        driveFolderID = UploadStateFile(folder, context.logger).load().driveFolderID;
        console.error(u"the upload did not finish: "_s + *failure);
    }
    QString summary = u"Upload "_s + (failure ? u"incomplete"_s : u"complete"_s) + u": "_s + lines.counts();
    if (driveFolderID)
        summary += u"\nGoogle Drive folder: "_s + context.driveLinks.folderLink(*driveFolderID);
    console.write(summary + u'\n');
    co_return failure ? 1 : 0;
}

} // namespace ebbcast
