#pragma once

#include "gateway/SpeechRecognizer.h"

#include <QDateTime>

#include <atomic>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

namespace ebbcast {

class JobQueue;
class JobStore;
class Logger;
struct GatewayJob;

// The worker threads: each owns one recognizer and runs the queue's
// jobs one at a time, at a lower CPU priority than the user's programs (a recording on the same machine must
// keep its frames). A job's audio is decoded to 16 kHz mono, recognised, and its transcript saved before the
// job is COMPLETE; audio that cannot be decoded or recognised ends the job in PERMANENT_FAILURE. stop()
// cancels running jobs between blocks and puts them back in the queue.
class TranscriptionWorkers {
public:
    using Clock = std::function<QDateTime()>;
    static constexpr int niceness = 10;

    using RecognizerFactory = std::function<std::unique_ptr<SpeechRecognizer>()>;

    // `first` serves the first worker; the others load theirs at once on their own threads, side by side (a
    // worker whose load fails logs why and takes no job).
    TranscriptionWorkers(JobQueue& queue, JobStore& store, Logger& log, Clock clock,
                         std::unique_ptr<SpeechRecognizer> first, RecognizerFactory more, int count);
    ~TranscriptionWorkers();

    TranscriptionWorkers(const TranscriptionWorkers&) = delete;
    TranscriptionWorkers& operator=(const TranscriptionWorkers&) = delete;

    void start();
    // Cancels the running jobs and joins the threads.
    void stop();

private:
    void work(std::unique_ptr<SpeechRecognizer> recognizer);
    void run(GatewayJob job, SpeechRecognizer& recognizer);

    JobQueue& queue_;
    JobStore& store_;
    Logger& log_;
    Clock clock_;
    std::unique_ptr<SpeechRecognizer> first_;
    RecognizerFactory more_;
    int count_;
    std::vector<std::thread> threads_;
    std::atomic<bool> cancelled_ = false;
};

} // namespace ebbcast
