#include "gateway/JobQueue.h"

#include <algorithm>

using namespace Qt::StringLiterals;

namespace ebbcast {

JobQueue::JobQueue(JobStore& store, Clock clock)
    : store_(store)
    , clock_(std::move(clock))
{}

QStringList JobQueue::restore(std::vector<GatewayJob> jobs)
{
    QStringList events;
    std::sort(jobs.begin(), jobs.end(),
              [](const GatewayJob& a, const GatewayJob& b) { return a.sequence < b.sequence; });
    std::lock_guard lock(mutex_);
    for (GatewayJob& job : jobs) {
        nextSequence_ = std::max(nextSequence_, job.sequence + 1);
        if (job.state == JobState::running && job.attempts >= maximumAttempts) {
            job.state = JobState::permanentFailure;
            job.endedAt = clock_();
            job.failure = u"the recognizer ended the gateway %1 times on this audio"_s.arg(job.attempts);
            events.append(
                u"job %1 failed for good after %2 interrupted runs"_s.arg(job.id).arg(job.attempts));
            try {
                store_.save(job);
            } catch (const std::exception&) {
                events.append(u"job %1: its final state could not be saved"_s.arg(job.id));
            }
        } else if (!job.finished()) {
            if (job.state == JobState::running)
                events.append(u"job %1 queued again after an interrupted run"_s.arg(job.id));
            job.state = JobState::queued;
            waiting_.push_back(job.id);
        }
        if (job.finished())
            store_.removeAudio(job); // left by a crash between the final state and the removal
        jobs_.insert_or_assign(job.id, std::move(job));
    }
    wake_.notify_all();
    return events;
}

std::optional<GatewayJob> JobQueue::findChunk(const ChunkIdentity& chunk) const
{
    std::lock_guard lock(mutex_);
    for (const auto& [id, job] : jobs_) {
        if (job.chunk == chunk)
            return job;
    }
    return std::nullopt;
}

std::optional<GatewayJob> JobQueue::find(const QString& jobID) const
{
    std::lock_guard lock(mutex_);
    const auto it = jobs_.find(jobID);
    if (it == jobs_.end())
        return std::nullopt;
    return it->second;
}

JobQueue::Admission JobQueue::admit(GatewayJob job, const QString& incomingFolder)
{
    std::lock_guard lock(mutex_);
    for (const auto& [id, existing] : jobs_) {
        if (existing.chunk == job.chunk) {
            store_.discardIncoming(incomingFolder);
            return {existing, true};
        }
    }
    job.sequence = nextSequence_;
    job.state = JobState::queued;
    job.createdAt = clock_();
    try {
        store_.commit(incomingFolder, job);
    } catch (...) {
        store_.discardIncoming(incomingFolder);
        throw;
    }
    ++nextSequence_;
    waiting_.push_back(job.id);
    jobs_.insert_or_assign(job.id, job);
    wake_.notify_one();
    return {job, false};
}

std::optional<GatewayJob> JobQueue::takeNext()
{
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stopped_ || !waiting_.empty(); });
        if (stopped_)
            return std::nullopt;
        const QString id = waiting_.front();
        waiting_.pop_front();
        GatewayJob& job = jobs_.at(id);
        job.state = JobState::running;
        job.attempts += 1;
        job.startedAt = clock_();
        try {
            saveLocked(job);
        } catch (const std::exception&) {
            // The attempt could not be recorded, so a crash in this run would not count: leave the job
            // waiting and try the next one later rather than run it unguarded.
            job.state = JobState::queued;
            job.attempts -= 1;
            waiting_.push_back(id);
            wake_.wait_for(lock, std::chrono::seconds(5), [this] { return stopped_; });
            continue;
        }
        ++running_;
        return job;
    }
}

void JobQueue::finish(const GatewayJob& job)
{
    std::lock_guard lock(mutex_);
    --running_;
    jobs_.insert_or_assign(job.id, job);
    try {
        saveLocked(job);
    } catch (const std::exception&) {
        // Kept in memory; at the next start the job runs again from its last saved state.
    }
}

void JobQueue::putBack(const GatewayJob& job)
{
    std::lock_guard lock(mutex_);
    --running_;
    GatewayJob waiting = job;
    waiting.state = JobState::queued;
    waiting.attempts = std::max(0, waiting.attempts - 1);
    waiting.startedAt.reset();
    jobs_.insert_or_assign(waiting.id, waiting);
    waiting_.push_front(waiting.id);
    try {
        saveLocked(waiting);
    } catch (const std::exception&) {
    }
}

void JobQueue::stop()
{
    std::lock_guard lock(mutex_);
    stopped_ = true;
    wake_.notify_all();
}

bool JobQueue::busy() const
{
    std::lock_guard lock(mutex_);
    return running_ > 0 || !waiting_.empty();
}

std::vector<QString> JobQueue::finishedBefore(const QDateTime& cutoff) const
{
    std::lock_guard lock(mutex_);
    std::vector<QString> ids;
    for (const auto& [id, job] : jobs_) {
        if (job.finished() && job.endedAt && *job.endedAt < cutoff)
            ids.push_back(id);
    }
    return ids;
}

void JobQueue::forget(const QString& jobID)
{
    std::lock_guard lock(mutex_);
    const auto it = jobs_.find(jobID);
    if (it == jobs_.end() || !it->second.finished())
        return;
    if (store_.removeJob(jobID))
        jobs_.erase(it);
}

void JobQueue::saveLocked(const GatewayJob& job)
{
    store_.save(job);
}

} // namespace ebbcast
