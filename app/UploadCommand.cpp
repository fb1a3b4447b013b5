#include "app/UploadCommand.h"

#include "app/ArgumentParser.h"
#include "app/CommandContext.h"
#include "app/Console.h"
#include "app/StopSignals.h"
#include "core/base/EbbcastError.h"
#include "drive/DriveWebLinks.h"
#include "drive/KeyedMutex.h"
#include "drive/UploadManager.h"
#include "drive/UploadStateFile.h"
#include "session/RecordingSession.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QObject>
#include <QTimer>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

QString sizeText(qint64 bytes)
{
    constexpr double kib = 1024.0;
    if (bytes < 1024)
        return u"%1 B"_s.arg(bytes);
    if (bytes < 1024 * 1024)
        return u"%1 KiB"_s.arg(static_cast<double>(bytes) / kib, 0, 'f', 1);
    if (bytes < qint64(1024) * 1024 * 1024)
        return u"%1 MiB"_s.arg(static_cast<double>(bytes) / (kib * kib), 0, 'f', 1);
    return u"%1 GiB"_s.arg(static_cast<double>(bytes) / (kib * kib * kib), 0, 'f', 1);
}

// The lines of one upload on standard error: one per file when it ends, a percentage of a long file at most
// every two seconds (in place on a terminal), the wait for Drive's processing, and the counts for the
// summary.
class ProgressLines {
public:
    static constexpr qint64 progressIntervalMs = 2000;

    explicit ProgressLines(Console& console)
        : console_(console)
    {}

    void report(const UploadManager::Progress& progress)
    {
        using Kind = UploadManager::Progress::Kind;
        switch (progress.kind) {
        case Kind::fileStarted:
            current_ = progress;
            sinceLine_.start();
            break;
        case Kind::fileProgress:
            showPercentage(progress);
            break;
        case Kind::fileUploaded:
            ++sent_;
            bytesSent_ += progress.total;
            fileLine(progress,
                     u"uploaded (%1, %2 s)"_s.arg(sizeText(progress.total)).arg(progress.seconds, 0, 'f', 1));
            break;
        case Kind::fileAlreadyOnDrive:
            ++alreadyThere_;
            fileLine(progress, u"already uploaded"_s);
            break;
        case Kind::fileSkipped:
            ++skipped_;
            fileLine(progress, u"skipped (no longer there)"_s);
            break;
        case Kind::fileFailed:
            ++failed_;
            fileLine(progress, u"failed: "_s + progress.error);
            break;
        case Kind::processingStarted:
            endPercentage();
            console_.write(u"Waiting for Google Drive to process the movies: "_s +
                           progress.videoKeys.join(u", "_s) + u'\n');
            break;
        case Kind::processingFinished:
            endPercentage();
            console_.write(u"Google Drive has processed the movies.\n"_s);
            break;
        }
    }

    QString counts() const
    {
        QString text = u"%1 uploaded (%2), %3 already uploaded"_s.arg(sent_)
                           .arg(sizeText(bytesSent_))
                           .arg(alreadyThere_);
        if (skipped_ > 0)
            text += u", %1 skipped"_s.arg(skipped_);
        if (failed_ > 0)
            text += u", %1 failed"_s.arg(failed_);
        return text;
    }

    void endPercentage()
    {
        if (!percentageShown_)
            return;
        percentageShown_ = false;
        if (console_.errorIsTerminal()) {
            console_.showStatus(QString());
            console_.write(u"\r"_s);
        }
    }

private:
    QString prefix(const UploadManager::Progress& progress) const
    {
        const QString key = progress.key.isEmpty() ? current_.key : progress.key;
        const QString label = progress.folderLabel.isEmpty() ? current_.folderLabel : progress.folderLabel;
        const int index = progress.index > 0 ? progress.index : current_.index;
        const int count = progress.count > 0 ? progress.count : current_.count;
        return u"[%1/%2] %3 → %4"_s.arg(index).arg(count).arg(key, label);
    }

    void fileLine(const UploadManager::Progress& progress, const QString& outcome)
    {
        endPercentage();
        console_.write(prefix(progress) + u": "_s + outcome + u'\n');
    }

    void showPercentage(const UploadManager::Progress& progress)
    {
        if (progress.total <= 0 || !sinceLine_.isValid() || sinceLine_.elapsed() < progressIntervalMs)
            return;
        sinceLine_.start();
        const QString line =
            prefix(progress) +
            u": %1% of %2"_s.arg(progress.sent * 100 / progress.total).arg(sizeText(progress.total));
        if (console_.errorIsTerminal()) {
            console_.showStatus(line);
            percentageShown_ = true;
        } else {
            console_.write(line + u'\n');
        }
    }

    Console& console_;
    UploadManager::Progress current_;
    QElapsedTimer sinceLine_;
    bool percentageShown_ = false;
    int sent_ = 0;
    qint64 bytesSent_ = 0;
    int alreadyThere_ = 0;
    int skipped_ = 0;
    int failed_ = 0;
};

} // namespace

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
    QObject::connect(&stopSignals, &StopSignals::caught, &receiver, [&cancellation, &receiver, &stopSignals] {
        if (cancellation.isCancelled())
            return;
        cancellation.cancel();
        QTimer::singleShot(stopGrace, &receiver,
                           [&stopSignals] { stopSignals.exitStatus(Command::endedBySignal); });
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

    ProgressLines lines(console);
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
        console.write(u"Stopped. What is on Google Drive is kept; 'ebbcast upload' again goes on.\n"_s);
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
