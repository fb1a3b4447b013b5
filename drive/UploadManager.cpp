#include "drive/UploadManager.h"

#include "core/base/CoroutineWaiters.h"
#include "core/base/EbbcastError.h"
#include "core/base/FileError.h"
#include "core/base/Logger.h"
#include "core/base/TimerPause.h"
#include "core/base/WorkerTask.h"
#include "drive/GoogleDriveClient.h"
#include "drive/GoogleDriveError.h"
#include "drive/UploadRules.h"
#include "drive/UploadStateFile.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QThread>
#include <QUrl>

#include <algorithm>
#include <atomic>
#include <coroutine>
#include <map>
#include <vector>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

// Files up to this size are compared by checksum before one found on Drive is taken as the same file.
constexpr qint64 checksumLimitBytes = 20 * 1024 * 1024;

QString describe(const std::exception_ptr& error)
{
    return describeError(error);
}

QDateTime wholeSecondsUtc(const QDateTime& time)
{
    return QDateTime::fromSecsSinceEpoch(time.toSecsSinceEpoch(), Qt::UTC);
}

bool isVideoKey(const QString& key)
{
    return key.toLower().endsWith(u".mov"_s);
}

QStringList videoKeys(const UploadState& state)
{
    QStringList keys;
    for (const auto& [key, file] : state.uploadedFiles) {
        if (isVideoKey(key))
            keys.append(key);
    }
    std::sort(keys.begin(), keys.end(), UploadRules::uploadKeyLess);
    return keys;
}

QByteArray md5Hex(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QCryptographicHash hash(QCryptographicHash::Md5);
    if (!hash.addData(&file))
        return {};
    return hash.result().toHex();
}

// The end of a pause between processing polls, which a new request for the session brings forward.
struct Alarm {
    QPointer<QObject> context;
    bool rung = false;
    CoroutineWaiters waiters;

    void ring()
    {
        if (rung || !context)
            return;
        rung = true;
        waiters.resumeAll(context);
    }
};

QCoro::Task<void> ringAfter(UploadManager::Pause pause, std::chrono::milliseconds duration,
                            std::shared_ptr<Alarm> alarm)
{
    try {
        co_await pause(duration);
    } catch (...) {
        // A pause that fails ends early.
    }
    alarm->ring();
}

} // namespace

class UploadManager::Impl {
public:
    Impl(UploadManager& self, Config config, GoogleDriveClient& drive, Logger& logger, Timing timing,
         SessionFolderGate::Options gateOptions)
        : self_(self)
        , config_(std::move(config))
        , drive_(drive)
        , logger_(logger)
        , timing_(std::move(timing))
        , gate_(u".ebbcast_upload.lock"_s, u"uploading"_s, std::move(gateOptions))
    {
        if (!timing_.pause)
            timing_.pause = pauseOnTimer;
        if (!timing_.elapsedMilliseconds)
            timing_.elapsedMilliseconds = [] {
                return static_cast<qint64>(monotonicSeconds() * 1000.0);
            };
    }

    // One whole-session upload of a folder, from the request until its report; later requests for the folder
    // join it.
    struct SessionRun {
        QString folder;
        bool anotherPass = false;
        std::shared_ptr<Alarm> alarm; // while it pauses between processing polls
        std::vector<ProgressSink> sinks;
        bool finished = false;
        std::optional<UploadState> result;
        std::exception_ptr error;
        CoroutineWaiters finishWaiters;

        void report(const Progress& progress) const
        {
            for (const ProgressSink& sink : sinks) {
                if (sink)
                    sink(progress);
            }
        }
    };

    // What a pass needs to know while it sends files.
    struct PassContext {
        QString folder;
        std::shared_ptr<SessionRun> run; // null for single-file uploads
        WaitCancellation cancellation;
        bool adoptFromDrive = false; // the session folder was found on Drive, not taken from the state
        std::exception_ptr deferred; // the first error that ends the run once the files are tried
        QSet<QString> reported;      // keys this run has reported (a further pass reports only new files)

        PassContext(QString sessionFolder, std::shared_ptr<SessionRun> wholeRun, WaitCancellation cancel)
            : folder(std::move(sessionFolder))
            , run(std::move(wholeRun))
            , cancellation(std::move(cancel))
        {}
        void defer(std::exception_ptr error)
        {
            if (!deferred)
                deferred = std::move(error);
        }
    };

    enum class SendOutcome { sent, adopted, vanished };

    UploadManager& self_;
    Config config_;
    GoogleDriveClient& drive_;
    Logger& logger_;
    Timing timing_;
    SessionFolderGate gate_;
    KeyedMutex dayFolders_;
    Callbacks callbacks_;
    std::map<QString, std::shared_ptr<SessionRun>> sessionRuns_;
    QSet<QString> liveUploads_;
    int busy_ = 0;
    CoroutineWaiters idleWaiters_;

    // Requests from other threads on their way to the manager's thread.
    std::atomic<int> hops_{0};

    void enter() { ++busy_; }
    void leave()
    {
        --busy_;
        resumeIfIdle();
    }
    bool isIdle() const { return busy_ == 0 && hops_.load() == 0; }
    void resumeIfIdle()
    {
        if (isIdle())
            idleWaiters_.resumeAll(&self_);
    }

    // Off the manager's thread: makes the call again on it and returns true. Until it has been made there,
    // the manager counts as busy.
    bool hop(std::function<void()> call)
    {
        if (QThread::currentThread() == self_.thread())
            return false;
        ++hops_;
        QMetaObject::invokeMethod(
            &self_,
            [this, call = std::move(call)] {
                call();
                --hops_;
                resumeIfIdle();
            },
            Qt::QueuedConnection);
        return true;
    }

    // --- whole-session uploads ---

    // The run of the folder that a new request joins, or a new one.
    std::shared_ptr<SessionRun> joinOrStart(const QString& folder, bool& joined)
    {
        const QString key = SessionFolderGate::normalizedPath(folder);
        const auto existing = sessionRuns_.find(key);
        if (existing != sessionRuns_.end()) {
            existing->second->anotherPass = true;
            if (existing->second->alarm)
                existing->second->alarm->ring();
            joined = true;
            return existing->second;
        }
        auto run = std::make_shared<SessionRun>();
        run->folder = folder;
        sessionRuns_.emplace(key, run);
        joined = false;
        return run;
    }

    void requestSession(const QString& folder)
    {
        bool joined = false;
        std::shared_ptr<SessionRun> run = joinOrStart(folder, joined);
        if (joined)
            return;
        QCoro::Task<void> detached = runDetached(run);
        Q_UNUSED(detached);
    }

    QCoro::Task<void> runDetached(std::shared_ptr<SessionRun> run)
    {
        enter();
        const WaitCancellation never;
        co_await performRun(run, never);
        leave();
    }

    // Runs the whole-session upload to its report; never throws (the outcome is kept in the run).
    QCoro::Task<void> performRun(std::shared_ptr<SessionRun> run, WaitCancellation cancellation)
    {
        const QString folder = run->folder;
        if (callbacks_.onUploadStarted)
            callbacks_.onUploadStarted(folder);
        try {
            UploadState state = co_await wholeSession(run, cancellation);
            run->result = state;
        } catch (...) {
            run->error = std::current_exception();
        }
        sessionRuns_.erase(SessionFolderGate::normalizedPath(folder));
        run->finished = true;
        if (run->error) {
            logger_.error(u"Google Drive upload failed for "_s + folder + u": "_s + describe(run->error));
            if (callbacks_.onUploadFailed)
                callbacks_.onUploadFailed(folder, run->error);
        } else if (callbacks_.onUploadCompleted) {
            callbacks_.onUploadCompleted(folder, *run->result);
        }
        run->finishWaiters.resumeAll(&self_);
    }

    QCoro::Task<UploadState> wholeSession(std::shared_ptr<SessionRun> run, WaitCancellation cancellation)
    {
        const QString folder = run->folder;
        PassContext context(folder, run, cancellation);
        co_await passesUnderGate(context);
        if (context.deferred)
            std::rethrow_exception(context.deferred);

        co_await processingWait(context);
        if (context.deferred)
            std::rethrow_exception(context.deferred);

        UploadState state = UploadStateFile(folder, logger_).load();
        notifyWebhook(folder, state);
        co_return state;
    }

    // Takes the session's turn and makes file passes until no request asks for another.
    QCoro::Task<void> passesUnderGate(PassContext& context)
    {
        SessionFolderGate::Lease lease = co_await gate_.acquire(context.folder, context.cancellation);
        do {
            context.run->anotherPass = false;
            co_await filePass(context);
        } while (context.run->anotherPass);
    }

    QCoro::Task<void> filePass(PassContext& context)
    {
        const QString folder = context.folder;
        const QString rootID = UploadRules::folderID(config_.driveFolderSetting);
        const UploadStateFile stateFile(folder, logger_);
        UploadState state = stateFile.load();
        const bool foundOnDrive = co_await ensureFolders(folder, rootID, state);
        if (foundOnDrive)
            context.adoptFromDrive = true;
        save(stateFile, state, context);

        // Files recorded before this run are reported once, as already on Drive; those this run recorded in
        // an earlier pass are not reported again.
        QStringList files;
        bool anythingToSend = false;
        for (const QString& file : UploadRules::sessionFiles(folder)) {
            const QString key = UploadRules::uploadKey(folder, file);
            const bool recorded = state.uploadedFiles.contains(key);
            anythingToSend = anythingToSend || !recorded;
            if (!recorded || !context.reported.contains(key))
                files.append(file);
        }
        if (!anythingToSend)
            logger_.info(u"Google Drive upload skipped; all files already uploaded for "_s + folder);
        const int count = static_cast<int>(files.size());
        for (int index = 0; index < count; ++index) {
            if (context.cancellation.isCancelled())
                throw WaitCancelledError();
            const QString file = files[index];
            const QString key = UploadRules::uploadKey(folder, file);
            const UploadRules::DriveTarget target = UploadRules::driveTarget(folder, key, state);
            context.reported.insert(key);
            if (state.uploadedFiles.contains(key)) {
                Progress recorded;
                recorded.kind = Progress::Kind::fileAlreadyOnDrive;
                recorded.index = index + 1;
                recorded.count = count;
                recorded.key = key;
                recorded.folderLabel = target.folderLabel;
                recorded.total = QFileInfo(file).size();
                context.run->report(recorded);
                continue;
            }
            Progress started;
            started.kind = Progress::Kind::fileStarted;
            started.index = index + 1;
            started.count = count;
            started.key = key;
            started.folderLabel = target.folderLabel;
            started.total = QFileInfo(file).size();
            context.run->report(started);
            const qint64 startedAt = timing_.elapsedMilliseconds();
            try {
                const SendOutcome outcome =
                    co_await sendFile(context, stateFile, state, file, index + 1, count);
                Progress done = started;
                if (outcome == SendOutcome::vanished) {
                    done.kind = Progress::Kind::fileSkipped;
                } else if (outcome == SendOutcome::adopted) {
                    done.kind = Progress::Kind::fileAlreadyOnDrive;
                } else {
                    done.kind = Progress::Kind::fileUploaded;
                    done.seconds = static_cast<double>(timing_.elapsedMilliseconds() - startedAt) / 1000.0;
                    logger_.info(u"Uploaded "_s + key + u" to Google Drive folder "_s + target.folderLabel +
                                 u" file "_s + state.uploadedFiles.at(key).driveFileID);
                }
                context.run->report(done);
            } catch (const FileError&) {
                const std::exception_ptr error = std::current_exception();
                if (!QFileInfo::exists(file)) {
                    // Gone while it was being read: nothing is left to archive.
                    state.pendingUploads.erase(key);
                    save(stateFile, state, context);
                    Progress skipped = started;
                    skipped.kind = Progress::Kind::fileSkipped;
                    context.run->report(skipped);
                    continue;
                }
                // The local file could not be read: the next files are still worth sending.
                Progress failed = started;
                failed.kind = Progress::Kind::fileFailed;
                failed.error = describe(error);
                context.run->report(failed);
                logger_.error(u"Google Drive upload of "_s + key + u" failed: "_s + failed.error);
                context.defer(error);
            }
        }
    }

    // --- the folder tree ---

    // Fills in the missing folder ids; true when the session folder was found on Drive rather than taken
    // from the state or created (so its files may already be there).
    QCoro::Task<bool> ensureFolders(QString folder, QString rootID, UploadState& state)
    {
        const QString dayName = UploadRules::dayFolderName(folder);
        if (!state.driveDayFolderID) {
            const QString dayKey = rootID + u'/' + dayName;
            const WaitCancellation never;
            KeyedMutex::Lease dayTurn = co_await dayFolders_.lock(dayKey, never);
            const QString id = co_await findOrCreateFolder(dayName, rootID);
            state.driveDayFolderID = id;
            logger_.info(u"Resolved Drive day folder "_s + id + u" for "_s + dayName);
        }
        bool foundSession = false;
        if (!state.driveFolderID) {
            const QString sessionName = QFileInfo(QDir::cleanPath(folder)).fileName();
            const std::optional<QString> found =
                co_await drive_.findFolder(sessionName, *state.driveDayFolderID);
            QString id;
            if (found) {
                id = *found;
                foundSession = true;
            } else {
                id = co_await drive_.createFolder(sessionName, *state.driveDayFolderID);
            }
            state.driveFolderID = id;
            logger_.info(u"Resolved Drive session folder "_s + id + u" for "_s + folder);
        }
        for (const DriveSubfolderKey key : allDriveSubfolderKeys) {
            if (state.driveFolders.contains(rawValue(key)))
                continue;
            const QString name = driveFolderName(key);
            const QString id = co_await findOrCreateFolder(name, *state.driveFolderID);
            state.driveFolders[rawValue(key)] = id;
            logger_.info(u"Resolved Drive subfolder "_s + name + u' ' + id + u" for "_s + folder);
        }
        co_return foundSession;
    }

    QCoro::Task<QString> findOrCreateFolder(QString name, QString parentID)
    {
        const std::optional<QString> found = co_await drive_.findFolder(name, parentID);
        if (found)
            co_return *found;
        const QString created = co_await drive_.createFolder(name, parentID);
        co_return created;
    }

    // --- one file ---

    // Sends one file (or takes it as sent when Drive has it already) and records it. Throws the client's
    // errors; a file that is gone before its upload begins is left alone.
    QCoro::Task<SendOutcome> sendFile(PassContext& context, const UploadStateFile& stateFile,
                                      UploadState& state, QString file, int index, int count)
    {
        const QString folder = context.folder;
        const QString key = UploadRules::uploadKey(folder, file);
        const QFileInfo info(file);
        if (!info.exists())
            co_return SendOutcome::vanished;
        const UploadRules::DriveTarget target = UploadRules::driveTarget(folder, key, state);
        const qint64 size = info.size();
        const QDateTime modified = wholeSecondsUtc(info.lastModified());

        GoogleDriveClient::UploadOptions options;
        bool lookOnDrive = context.adoptFromDrive;
        const auto pending = state.pendingUploads.find(key);
        if (pending != state.pendingUploads.end()) {
            if (pending->second.sessionURL && pending->second.matches(size, modified)) {
                // The state keeps whole seconds; the file matched them, so it is the one whose upload began.
                options.resume =
                    DriveUploadSession{QUrl(*pending->second.sessionURL), size, info.lastModified().toUTC()};
            } else if (!pending->second.sessionURL) {
                lookOnDrive = true;
            }
        }
        if (lookOnDrive && !options.resume) {
            const std::optional<DriveFileEntry> existing =
                co_await drive_.findFile(target.fileName, target.folderID);
            if (existing) {
                const bool same = co_await isSameFile(*existing, file, size);
                if (same) {
                    record(state, key, existing->id);
                    save(stateFile, state, context);
                    logger_.info(u"Found "_s + key + u" already on Google Drive in folder "_s +
                                 target.folderLabel + u" file "_s + existing->id);
                    co_return SendOutcome::adopted;
                }
            }
        }

        PendingUpload entry;
        entry.size = size;
        entry.modifiedAt = modified;
        entry.startedAt = wholeSecondsUtc(QDateTime::currentDateTimeUtc());
        if (options.resume && pending != state.pendingUploads.end())
            entry.sessionURL = pending->second.sessionURL;
        state.pendingUploads[key] = entry;
        save(stateFile, state, context);

        std::shared_ptr<SessionRun> run = context.run;
        options.onSessionStarted = [this, &state, &stateFile, &context,
                                    key](const DriveUploadSession& session) {
            state.pendingUploads[key].sessionURL = session.sessionURL.toString();
            save(stateFile, state, context);
        };
        if (run) {
            options.progress = [run, key, index, count, label = target.folderLabel](qint64 sent,
                                                                                    qint64 total) {
                Progress progress;
                progress.kind = Progress::Kind::fileProgress;
                progress.index = index;
                progress.count = count;
                progress.key = key;
                progress.folderLabel = label;
                progress.sent = sent;
                progress.total = total;
                run->report(progress);
            };
        }
        if (!QFileInfo::exists(file)) {
            state.pendingUploads.erase(key);
            save(stateFile, state, context);
            co_return SendOutcome::vanished;
        }
        const QString id = co_await drive_.uploadFile(file, target.folderID, target.fileName, options);
        record(state, key, id);
        save(stateFile, state, context);
        co_return SendOutcome::sent;
    }

    static void record(UploadState& state, const QString& key, const QString& driveFileID)
    {
        state.uploadedFiles[key] =
            UploadedFileState{driveFileID, wholeSecondsUtc(QDateTime::currentDateTimeUtc())};
        state.pendingUploads.erase(key);
    }

    QCoro::Task<bool> isSameFile(DriveFileEntry entry, QString file, qint64 size)
    {
        if (!entry.size || *entry.size != size)
            co_return false;
        if (size > checksumLimitBytes || !entry.md5Checksum)
            co_return true;
        const QString path = file;
        const QByteArray local = co_await runOnWorker([&path] { return md5Hex(path); });
        co_return !local.isEmpty() && QString::fromLatin1(local) == entry.md5Checksum->toLower();
    }

    // Writes the state; a failure is logged and ends the run failed once its files are tried.
    void save(const UploadStateFile& stateFile, const UploadState& state, PassContext& context)
    {
        try {
            stateFile.save(state);
        } catch (...) {
            const std::exception_ptr error = std::current_exception();
            logger_.error(u"Failed to save upload state: "_s + describe(error));
            context.defer(error);
        }
    }

    // --- processing wait ---

    QCoro::Task<void> processingWait(PassContext& context)
    {
        const QString folder = context.folder;
        QStringList videos = videoKeys(UploadStateFile(folder, logger_).load());
        if (videos.isEmpty() && !context.run->anotherPass)
            co_return;
        QStringList announced;
        std::map<QString, QString> pending; // key -> Drive file id
        const qint64 deadline = timing_.elapsedMilliseconds() + timing_.processingDeadline.count();
        while (true) {
            if (context.run->anotherPass) {
                co_await passesUnderGate(context);
                if (context.deferred)
                    co_return;
            }
            const UploadState state = UploadStateFile(folder, logger_).load();
            videos = videoKeys(state);
            QStringList fresh;
            for (const QString& key : videos) {
                if (!announced.contains(key)) {
                    announced.append(key);
                    pending[key] = state.uploadedFiles.at(key).driveFileID;
                    fresh.append(key);
                }
            }
            if (!fresh.isEmpty()) {
                // Reported again when a later pass has sent more movies: the wait covers them too.
                std::sort(announced.begin(), announced.end(), UploadRules::uploadKeyLess);
                if (callbacks_.onDriveProcessingStarted)
                    callbacks_.onDriveProcessingStarted(folder, announced);
                Progress progress;
                progress.kind = Progress::Kind::processingStarted;
                progress.videoKeys = announced;
                context.run->report(progress);
            }
            if (announced.isEmpty())
                co_return;

            for (auto entry = pending.begin(); entry != pending.end();) {
                bool processed = false;
                try {
                    processed = co_await drive_.videoFileIsProcessed(entry->second);
                } catch (...) {
                    logger_.error(u"Google Drive processing check failed for "_s + entry->first + u": "_s +
                                  describe(std::current_exception()));
                }
                if (processed) {
                    logger_.info(u"Google Drive finished processing "_s + entry->first + u" for "_s + folder);
                    entry = pending.erase(entry);
                } else {
                    ++entry;
                }
            }
            if (pending.empty() && !context.run->anotherPass)
                break;
            if (timing_.elapsedMilliseconds() >= deadline && !context.run->anotherPass) {
                QStringList late;
                for (const auto& [key, id] : pending)
                    late.append(key);
                std::sort(late.begin(), late.end(), UploadRules::uploadKeyLess);
                logger_.error(u"Timed out waiting for Google Drive processing: "_s + late.join(u", "_s));
                co_return;
            }
            if (context.cancellation.isCancelled())
                throw WaitCancelledError();
            if (!context.run->anotherPass) {
                auto alarm = std::make_shared<Alarm>();
                alarm->context = &self_;
                context.run->alarm = alarm;
                QCoro::Task<void> pausing = ringAfter(timing_.pause, timing_.processingPollInterval, alarm);
                Q_UNUSED(pausing);
                const ParkOn untilRung{alarm->waiters, alarm->rung};
                co_await untilRung;
                context.run->alarm.reset();
            }
            if (context.cancellation.isCancelled())
                throw WaitCancelledError();
        }
        Progress finished;
        finished.kind = Progress::Kind::processingFinished;
        finished.videoKeys = announced;
        context.run->report(finished);
    }

    void notifyWebhook(const QString& folder, const UploadState& state)
    {
        const QString webhook = config_.webhookURL.trimmed();
        if (!webhook.isEmpty()) {
            // Scheme and host only: the path and query of a webhook often carry its secret.
            const QUrl url(webhook);
            const QString shown = url.isValid() && !url.host().isEmpty()
                                      ? url.scheme() + u"://"_s + url.host()
                                      : u"(not a web address)"_s;
            logger_.info(u"Webhook configured but stubbed for now: "_s + shown);
            return;
        }
        logger_.info(u"Webhook stub: session uploaded recorder="_s + config_.recorderID + u" session="_s +
                     QFileInfo(QDir::cleanPath(folder)).fileName() + u" drive_folder_id="_s +
                     state.driveFolderID.value_or(u"unknown"_s));
    }

    // --- single files ---

    // Sends one file of the session under its turn (held by the caller); nothing when the file is missing.
    QCoro::Task<UploadState> singleFile(QString folder, QString file, bool& sent)
    {
        sent = false;
        const UploadStateFile stateFile(folder, logger_);
        if (!QFileInfo::exists(file))
            co_return stateFile.load();
        const QString rootID = UploadRules::folderID(config_.driveFolderSetting);
        UploadState state = stateFile.load();
        PassContext context(folder, nullptr, WaitCancellation());
        context.adoptFromDrive = co_await ensureFolders(folder, rootID, state);
        save(stateFile, state, context);
        const QString key = UploadRules::uploadKey(folder, file);
        if (!state.uploadedFiles.contains(key)) {
            const SendOutcome outcome = co_await sendFile(context, stateFile, state, file, 1, 1);
            if (outcome == SendOutcome::sent) {
                const UploadRules::DriveTarget target = UploadRules::driveTarget(folder, key, state);
                logger_.info(u"Uploaded live file "_s + key + u" to Google Drive folder "_s +
                             target.folderLabel + u" file "_s + state.uploadedFiles.at(key).driveFileID);
                sent = true;
            }
        }
        if (context.deferred)
            std::rethrow_exception(context.deferred);
        co_return state;
    }

    void requestLiveFile(const QString& folder, const QString& file)
    {
        const QString key =
            SessionFolderGate::normalizedPath(folder) + u'/' + UploadRules::uploadKey(folder, file);
        if (liveUploads_.contains(key))
            return;
        liveUploads_.insert(key);
        QCoro::Task<void> detached = runLiveFile(folder, file, key);
        Q_UNUSED(detached);
    }

    QCoro::Task<void> runLiveFile(QString folder, QString file, QString key)
    {
        enter();
        try {
            const WaitCancellation never;
            SessionFolderGate::Lease lease = co_await gate_.acquire(folder, never);
            bool sent = false;
            const UploadState state = co_await singleFile(folder, file, sent);
            lease.release();
            if (sent && callbacks_.onFileUploadedInSession)
                callbacks_.onFileUploadedInSession(folder, file, state);
        } catch (...) {
            logger_.error(u"Google Drive chunk upload failed for "_s + file + u": "_s +
                          describe(std::current_exception()));
        }
        liveUploads_.remove(key);
        leave();
    }

    QCoro::Task<std::optional<UploadState>> immediateFile(QString folder, QString file)
    {
        enter();
        std::optional<UploadState> result;
        try {
            const WaitCancellation never;
            SessionFolderGate::Lease lease = co_await gate_.acquire(folder, never);
            if (!QFileInfo::exists(file))
                throw FileError(FileErrorCode::readFailed, file, u"No such file"_s);
            bool sent = false;
            const UploadState state = co_await singleFile(folder, file, sent);
            lease.release();
            if (!state.uploadedFiles.contains(UploadRules::uploadKey(folder, file)))
                throw FileError(FileErrorCode::readFailed, file,
                                u"No such file"_s); // gone before it was sent
            result = state;
            if (sent && callbacks_.onFileUploadedInSession)
                callbacks_.onFileUploadedInSession(folder, file, state);
        } catch (...) {
            logger_.error(u"Google Drive file upload failed for "_s + file + u": "_s +
                          describe(std::current_exception()));
        }
        leave();
        co_return result;
    }
};

UploadManager::UploadManager(Config config, GoogleDriveClient& drive, Logger& logger)
    : UploadManager(std::move(config), drive, logger, Timing{})
{}

UploadManager::UploadManager(Config config, GoogleDriveClient& drive, Logger& logger, Timing timing,
                             SessionFolderGate::Options gateOptions)
    : impl_(std::make_unique<Impl>(*this, std::move(config), drive, logger, std::move(timing),
                                   std::move(gateOptions)))
{}

UploadManager::~UploadManager() = default;

void UploadManager::setUploadEnabled(bool enabled)
{
    impl_->config_.uploadEnabled = enabled;
}

void UploadManager::setDriveFolderSetting(const QString& setting)
{
    impl_->config_.driveFolderSetting = setting;
}

void UploadManager::setWebhookURL(const QString& url)
{
    impl_->config_.webhookURL = url;
}

void UploadManager::setRecorderID(const QString& recorderID)
{
    impl_->config_.recorderID = recorderID;
}

void UploadManager::setCallbacks(Callbacks callbacks)
{
    impl_->callbacks_ = std::move(callbacks);
}

QCoro::Task<bool> UploadManager::isGoogleConnected()
{
    const bool connected = co_await impl_->drive_.isConnected();
    co_return connected;
}

QCoro::Task<void> UploadManager::connectGoogle()
{
    co_await impl_->drive_.connect();
}

void UploadManager::uploadSessionIfEnabled(const QString& sessionFolder)
{
    if (impl_->hop([this, sessionFolder] { uploadSessionIfEnabled(sessionFolder); }))
        return;
    if (impl_->config_.uploadEnabled)
        uploadSession(sessionFolder);
}

void UploadManager::uploadSession(const QString& sessionFolder)
{
    if (impl_->hop([this, sessionFolder] { uploadSession(sessionFolder); }))
        return;
    impl_->requestSession(sessionFolder);
}

void UploadManager::uploadFileInSessionIfEnabled(const QString& sessionFolder, const QString& file)
{
    if (impl_->hop([this, sessionFolder, file] { uploadFileInSessionIfEnabled(sessionFolder, file); }))
        return;
    if (impl_->config_.uploadEnabled)
        uploadFileInSession(sessionFolder, file);
}

void UploadManager::uploadFileInSession(const QString& sessionFolder, const QString& file)
{
    if (impl_->hop([this, sessionFolder, file] { uploadFileInSession(sessionFolder, file); }))
        return;
    impl_->requestLiveFile(sessionFolder, file);
}

QCoro::Task<std::optional<UploadState>> UploadManager::uploadFileInSessionNowIfEnabled(QString sessionFolder,
                                                                                       QString file)
{
    if (!impl_->config_.uploadEnabled)
        co_return std::nullopt;
    std::optional<UploadState> result = co_await impl_->immediateFile(sessionFolder, file);
    co_return result;
}

QCoro::Task<UploadState> UploadManager::uploadSessionNow(QString sessionFolder, ProgressSink progress,
                                                         WaitCancellation cancellation)
{
    bool joined = false;
    std::shared_ptr<Impl::SessionRun> run = impl_->joinOrStart(sessionFolder, joined);
    run->sinks.push_back(std::move(progress));
    impl_->enter();
    if (joined) {
        const ParkOn untilFinished{run->finishWaiters, run->finished};
        co_await untilFinished;
    } else {
        co_await impl_->performRun(run, cancellation);
    }
    impl_->leave();
    if (run->error)
        std::rethrow_exception(run->error);
    UploadState state = *run->result;
    co_return state;
}

bool UploadManager::isBusy() const
{
    return !impl_->isIdle();
}

QCoro::Task<void> UploadManager::waitUntilIdle()
{
    const ParkOn untilIdle{impl_->idleWaiters_, impl_->isIdle()};
    co_await untilIdle;
}

} // namespace ebbcast
