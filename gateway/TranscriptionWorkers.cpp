#include "gateway/TranscriptionWorkers.h"

#include "core/base/Logger.h"
#include "gateway/AudioDecoder.h"
#include "gateway/JobQueue.h"
#include "gateway/JobStore.h"

#include <QCryptographicHash>

#include <sys/resource.h>
#include <unistd.h>

#include <ctime>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

double threadCpuSeconds()
{
    timespec time{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &time);
    return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_nsec) / 1e9;
}

} // namespace

TranscriptionWorkers::TranscriptionWorkers(JobQueue& queue, JobStore& store, Logger& log, Clock clock,
                                           std::unique_ptr<SpeechRecognizer> first, RecognizerFactory more,
                                           int count)
    : queue_(queue)
    , store_(store)
    , log_(log)
    , clock_(std::move(clock))
    , first_(std::move(first))
    , more_(std::move(more))
    , count_(count)
{}

TranscriptionWorkers::~TranscriptionWorkers()
{
    stop();
}

void TranscriptionWorkers::start()
{
    threads_.emplace_back([this, recognizer = std::move(first_)]() mutable { work(std::move(recognizer)); });
    for (int i = 1; i < count_; ++i)
        threads_.emplace_back([this] { work(nullptr); });
}

void TranscriptionWorkers::stop()
{
    cancelled_ = true;
    queue_.stop();
    for (std::thread& thread : threads_)
        thread.join();
    threads_.clear();
}

void TranscriptionWorkers::work(std::unique_ptr<SpeechRecognizer> recognizer)
{
    // Linux gives each thread its own nice value.
    setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), niceness);
    if (!recognizer) {
        try {
            recognizer = more_();
        } catch (const std::exception& error) {
            log_.error(u"a worker could not load its recognizer: %1"_s.arg(QString::fromUtf8(error.what())));
            return;
        }
    }
    while (auto job = queue_.takeNext())
        run(std::move(*job), *recognizer);
}

void TranscriptionWorkers::run(GatewayJob job, SpeechRecognizer& recognizer)
{
    const auto cancelled = [this] {
        return cancelled_.load();
    };
    log_.info(u"job %1 running (attempt %2)"_s.arg(job.id).arg(job.attempts));
    const double startCpu = threadCpuSeconds();
    try {
        const std::vector<qint16> samples = AudioDecoder::decodeMono16k(store_.audioPath(job), cancelled);
        const double audioSeconds = static_cast<double>(samples.size()) / 16000.0;
        const Recognition recognition = recognizer.recognize(samples, cancelled);
        const QByteArray text = recognition.text.trimmed().toUtf8();
        store_.writeTranscript(job.id, text);
        const double cpuSeconds = threadCpuSeconds() - startCpu;
        job.state = JobState::complete;
        job.endedAt = clock_();
        job.transcriptBytes = text.size();
        job.transcriptSha256 =
            QString::fromLatin1(QCryptographicHash::hash(text, QCryptographicHash::Sha256).toHex());
        job.audioSeconds = audioSeconds;
        job.recognitionSeconds = cpuSeconds;
        const double wall =
            job.startedAt ? static_cast<double>(job.startedAt->msecsTo(*job.endedAt)) / 1000.0 : 0;
        log_.info(
            u"job %1 COMPLETE: audio %2 s, cpu %3 s, real-time factor %4, %5 segments, %6 bytes, wall %7 s"_s
                .arg(job.id)
                .arg(audioSeconds, 0, 'f', 1)
                .arg(cpuSeconds, 0, 'f', 2)
                .arg(audioSeconds > 0 ? cpuSeconds / audioSeconds : 0.0, 0, 'f', 3)
                .arg(recognition.segments.size())
                .arg(text.size())
                .arg(wall, 0, 'f', 0));
    } catch (const RecognitionCancelled&) {
        log_.info(u"job %1 interrupted by shutdown; it waits again"_s.arg(job.id));
        queue_.putBack(job);
        return;
    } catch (const std::exception& error) {
        job.state = JobState::permanentFailure;
        job.endedAt = clock_();
        job.failure = QString::fromUtf8(error.what());
        log_.error(u"job %1 PERMANENT_FAILURE: %2"_s.arg(job.id, *job.failure));
    }
    // Final state first: a crash in between leaves a finished job with its audio, which the next start
    // removes.
    queue_.finish(job);
    if (!store_.removeAudio(job))
        log_.error(u"job %1: its audio could not be removed"_s.arg(job.id));
}

} // namespace ebbcast
