// Finalizes one session's transcript in a process of its own, with Drive and the relay stood in for: every
// upload succeeds at once, and each announcement appends a line to NOTICES_FILE after a pause of PAUSE_MS
// (so that a second process finalizing the same session meets this one in the middle of its run).
//
// ebbcast_transcript_finalizer_probe SESSION_FOLDER NOTICES_FILE PAUSE_MS LOG_FILE
// Exits 0 once the finalization is over.

#include "core/base/Logger.h"
#include "core/base/RetryTimer.h"
#include "core/base/TimerPause.h"
#include "drive/UploadRules.h"
#include "transcription/FinalTranscriptWriter.h"
#include "transcription/TranscriptFinalizer.h"

#include <QCoreApplication>
#include <QFile>
#include <QTimer>

#include <cstdio>

using namespace Qt::StringLiterals;

namespace {

class InstantUploader final : public ebbcast::SessionFileUploader {
public:
    QCoro::Task<std::optional<ebbcast::UploadState>> uploadFileInSessionNowIfEnabled(QString sessionFolder,
                                                                                     QString file) override
    {
        const QString key = uploadKey(sessionFolder, file);
        state_.uploadedFiles[key] = {u"id-"_s + key, QDateTime::currentDateTimeUtc()};
        const ebbcast::UploadState copy = state_;
        co_return copy;
    }
    QString uploadKey(const QString& sessionFolder, const QString& file) const override
    {
        return ebbcast::UploadRules::uploadKey(sessionFolder, file);
    }

private:
    ebbcast::UploadState state_;
};

class AppendingAnnouncer final : public ebbcast::TranscriptReadyAnnouncer {
public:
    AppendingAnnouncer(QString path, int pauseMs)
        : path_(std::move(path))
        , pauseMs_(pauseMs)
    {}

    QCoro::Task<ebbcast::RelayDelivery>
    notifySessionTranscriptReady(ebbcast::SessionTranscriptReadyEvent) override
    {
        co_await ebbcast::pauseOnTimer(std::chrono::milliseconds(pauseMs_));
        QFile file(path_);
        if (!file.open(QIODevice::Append))
            co_return ebbcast::RelayDelivery::failed;
        file.write(QByteArray::number(QCoreApplication::applicationPid()) + '\n');
        co_return ebbcast::RelayDelivery::delivered;
    }

private:
    QString path_;
    int pauseMs_;
};

class Silent final : public ebbcast::TranscriptStatusSink {
public:
    void setTranscriptStatus(const QString&, const QString&) override {}
    void setLastTranscriptURL(const QString&) override {}
    void setLastTranscriptDriveFolderID(const std::optional<QString>&) override {}
};

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication application(argc, argv);
    const QStringList arguments = application.arguments();
    if (arguments.size() != 5)
        return 2;
    ebbcast::Logger logger(arguments.at(4));
    ebbcast::FinalTranscriptWriter writer({u"studio-7"_s}, logger, {}, {});
    InstantUploader uploader;
    AppendingAnnouncer announcer(arguments.at(2), arguments.at(3).toInt());
    Silent status;
    ebbcast::QtRetryTimer timer;
    ebbcast::TranscriptFinalizer finalizer({true, true, {}},
                                           {writer, uploader, announcer, status, timer, logger});
    QTimer::singleShot(0, &application, [&] {
        [](ebbcast::TranscriptFinalizer& running, const QString& folder) -> QCoro::Task<void> {
            co_await running.finalizeSessionTranscriptIfReady(folder, 0);
            QCoreApplication::exit(0);
        }(finalizer, arguments.at(1));
    });
    return application.exec();
}
