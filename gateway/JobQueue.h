#pragma once

#include "gateway/GatewayJob.h"
#include "gateway/JobStore.h"

#include <QDateTime>

#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <vector>

namespace ebbcast {

// Every job of the gateway and the first-in-first-out queue of those waiting, kept in memory and written
// through to the JobStore before any change is shown to a client or a worker. Thread-safe: the HTTP threads
// admit and look up, the workers take and finish.
class JobQueue {
public:
    using Clock = std::function<QDateTime()>;

    // A job that was running when the process ended this many times is not run again.
    static constexpr int maximumAttempts = 2;

    JobQueue(JobStore& store, Clock clock);

    // Takes over the stored jobs: queued ones and those cut off while running queue again in their arrival
    // order, except a job whose runs already ended the process `maximumAttempts` times, which fails for good.
    // Returns one line per notable event for the log (ids and states only).
    QStringList restore(std::vector<GatewayJob> jobs);

    // The job of this chunk when it was uploaded before.
    std::optional<GatewayJob> findChunk(const ChunkIdentity& chunk) const;
    std::optional<GatewayJob> find(const QString& jobID) const;

    struct Admission {
        GatewayJob job;
        bool existing = false; // the same chunk was already here; the upload was discarded
    };
    // Turns a finished upload (its incoming folder holding the audio) into a queued job, or answers with the
    // job of the same chunk. Throws what JobStore::commit throws; the incoming folder is then discarded.
    Admission admit(GatewayJob job, const QString& incomingFolder);

    // Blocks until a job waits or stop() is called; the job comes back RUNNING with its attempt counted and
    // saved. Nothing after stop().
    std::optional<GatewayJob> takeNext();
    // Saves a final state (COMPLETE or PERMANENT_FAILURE).
    void finish(const GatewayJob& job);
    // A run cut short by a shutdown: the job waits again at the head of the queue, its attempt not counted.
    void putBack(const GatewayJob& job);

    // Wakes every takeNext() for good.
    void stop();
    // True while a job waits or runs.
    bool busy() const;
    // Finished jobs that ended before `cutoff`, for the retention sweep.
    std::vector<QString> finishedBefore(const QDateTime& cutoff) const;
    void forget(const QString& jobID);

private:
    void saveLocked(const GatewayJob& job);

    JobStore& store_;
    Clock clock_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::map<QString, GatewayJob> jobs_;
    std::deque<QString> waiting_;
    int running_ = 0;
    qint64 nextSequence_ = 1;
    bool stopped_ = false;
};

} // namespace ebbcast
