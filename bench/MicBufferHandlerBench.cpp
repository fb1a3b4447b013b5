// Cost of the microphone recorder's buffer handler per 1024-frame buffer, writing the full file and the chunk
// file to tmpfs, beside the same buffers written with libsndfile alone (what a plain recorder such as
// parecord does per buffer). Also counts heap allocations made while handling buffers.
// Then the buffers that rotate a chunk (1-second chunks): mean, p99 and worst handler time, once with the
// chunk report handled as the session handles it now (copied and posted to the main thread) and once as it
// used to be (the session document read, changed and replaced with fsync on the audio thread, the
// document on the disk of the current folder). Usage: ebbcast_bench_mic_buffer_handler [BUFFERS]

#include "capture/MicRecorder.h"
#include "capture/WavFileWriter.h"
#include "core/base/Logger.h"
#include "core/documents/MetadataWriter.h"
#include "core/documents/SessionDocumentFile.h"
#include "support/FakeAudioInputEngine.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <sndfile.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <new>
#include <vector>

namespace {

std::atomic<bool> counting{false};
std::atomic<long> allocations{0};

} // namespace

void* operator new(std::size_t size)
{
    if (counting.load(std::memory_order_relaxed))
        allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* memory = std::malloc(size == 0 ? 1 : size))
        return memory;
    throw std::bad_alloc();
}

void operator delete(void* memory) noexcept
{
    std::free(memory);
}

void operator delete(void* memory, std::size_t) noexcept
{
    std::free(memory);
}

using Clock = std::chrono::steady_clock;

struct Figures {
    double meanMicroseconds = 0;
    double p99Microseconds = 0;
    double worstMicroseconds = 0;
};

static Figures summarize(std::vector<double>& samples)
{
    std::sort(samples.begin(), samples.end());
    double sum = 0;
    for (double sample : samples)
        sum += sample;
    return {sum / static_cast<double>(samples.size()), samples[samples.size() * 99 / 100], samples.back()};
}

// Handler times of `buffers` buffers with 1-second chunks; `report` receives each chunk report on the tap
// thread, as a recorder's owner does.
static std::vector<double> rotatingRun(const QString& folder, int buffers, ebbcast::Logger& logger,
                                       const ebbcast::Recorder::ChunkHandler& report)
{
    auto engine = std::make_unique<ebbcast::test::FakeAudioInputEngine>(ebbcast::AudioInputFormat{48000, 1});
    auto* fake = engine.get();
    ebbcast::MicRecorder::Timing timing;
    timing.chunkDurationSeconds = 1.0;
    QDir().mkpath(folder);
    ebbcast::MicRecorder recorder(folder + QStringLiteral("/microphone.wav"), QString(), logger,
                                  std::move(engine), ebbcast::WavFileWriter::factory(), ebbcast::systemTime,
                                  timing);
    recorder.onChunkCompleted = report;
    recorder.startCapture(folder + QStringLiteral("/chunks"));
    const auto tap = fake->tap();
    std::vector<float> input(1024, 0.25F);
    const ebbcast::AudioInputBuffer buffer{input.data(), 1024, 1};
    std::vector<double> times;
    times.reserve(static_cast<size_t>(buffers));
    for (int i = 0; i < buffers; ++i) {
        const auto start = Clock::now();
        tap(buffer);
        times.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    recorder.stopCapture();
    return times;
}

// The buffers whose handling rotated a chunk: the slowest one in each run of 47 (a 1-second chunk).
static std::vector<double> rotations(const std::vector<double>& times)
{
    std::vector<double> result;
    for (size_t i = 0; i + 47 <= times.size(); i += 47)
        result.push_back(*std::max_element(times.begin() + static_cast<long>(i),
                                           times.begin() + static_cast<long>(i + 47)));
    return result;
}

static void printRow(const char* name, Figures all, Figures rotating)
{
    std::printf("%-44s all: mean %7.2f p99 %8.2f worst %9.2f us | rotating: mean %8.2f worst %9.2f us\n",
                name, all.meanMicroseconds, all.p99Microseconds, all.worstMicroseconds,
                rotating.meanMicroseconds, rotating.worstMicroseconds);
}

int main(int argc, char* argv[])
{
    QCoreApplication application(argc, argv);
    const int buffers = argc > 1 ? std::atoi(argv[1]) : 20000;
    QTemporaryDir folder(QStringLiteral("/dev/shm/ebbcast-bench-XXXXXX"));
    ebbcast::Logger logger(folder.filePath(QStringLiteral("app.log")));

    // Ours: the recorder's handler as the engine's tap calls it.
    auto engine = std::make_unique<ebbcast::test::FakeAudioInputEngine>(ebbcast::AudioInputFormat{48000, 1});
    auto* fake = engine.get();
    ebbcast::MicRecorder recorder(folder.filePath(QStringLiteral("microphone.wav")), QString(), logger,
                                  std::move(engine), ebbcast::WavFileWriter::factory(), ebbcast::systemTime,
                                  {});
    recorder.startCapture(folder.filePath(QStringLiteral("chunks")));
    fake->deliver(100); // warm up
    const auto tap = fake->tap();
    std::vector<float> input(1024, 0.25F);
    const ebbcast::AudioInputBuffer buffer{input.data(), 1024, 1};
    std::vector<double> ours;
    ours.reserve(static_cast<size_t>(buffers));
    long buffersThatAllocated = 0;
    for (int i = 0; i < buffers; ++i) {
        const long before = allocations.load();
        counting = true;
        const auto start = Clock::now();
        tap(buffer);
        const auto end = Clock::now();
        counting = false;
        buffersThatAllocated += allocations.load() != before ? 1 : 0;
        ours.push_back(std::chrono::duration<double, std::micro>(end - start).count());
    }
    recorder.stopCapture();
    const long ourAllocations = allocations.load();

    // Baseline: libsndfile alone, one float WAV, one write per buffer.
    SF_INFO info{48000, 48000, 1, SF_FORMAT_WAV | SF_FORMAT_FLOAT, 0, 0};
    SNDFILE* file = sf_open(QFile::encodeName(folder.filePath(QStringLiteral("plain.wav"))).constData(),
                            SFM_WRITE, &info);
    std::vector<float> samples(1024, 0.25F);
    std::vector<double> plain;
    plain.reserve(static_cast<size_t>(buffers));
    for (int i = 0; i < buffers; ++i) {
        const auto start = Clock::now();
        sf_writef_float(file, samples.data(), 1024);
        plain.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    sf_close(file);

    const Figures a = summarize(ours);
    const Figures b = summarize(plain);
    std::printf("buffers: %d x 1024 frames, 48 kHz mono float, tmpfs\n", buffers);
    std::printf("ebbcast handler (full + chunk file, header kept valid): mean %.2f us, p99 %.2f us\n",
                a.meanMicroseconds, a.p99Microseconds);
    std::printf("libsndfile alone (one file, header at close):           mean %.2f us, p99 %.2f us\n",
                b.meanMicroseconds, b.p99Microseconds);
    std::printf("ratio (ours / plain): mean %.2f, p99 %.2f\n", a.meanMicroseconds / b.meanMicroseconds,
                a.p99Microseconds / b.p99Microseconds);
    std::printf("budget per buffer at 48 kHz: %.0f us; ours uses %.3f %%\n", 1024 / 48000.0 * 1e6,
                100.0 * a.meanMicroseconds / (1024 / 48000.0 * 1e6));
    std::printf("heap allocations while handling buffers: %ld in %ld of %d buffers (chunk rotations)\n",
                ourAllocations, buffersThatAllocated, buffers);

    // Chunk rotations: the report posted (now) against the document rewritten on the audio thread (before).
    const int rotatingBuffers = std::min(buffers, 47 * 100);
    QTemporaryDir disk(QDir::currentPath() + QStringLiteral("/ebbcast-bench-XXXXXX"));
    const QString documentPath = disk.filePath(QStringLiteral("metadata.json"));
    ebbcast::SessionMetadata document;
    document.sessionID = QStringLiteral("bench");
    document.liveChunks = std::vector<ebbcast::RecordingChunkMetadata>{};
    document.files.metadata = documentPath;
    ebbcast::MetadataWriter::write(document, documentPath);
    std::mutex postedLock;
    std::vector<std::pair<ebbcast::RecordingChunkMetadata, QString>> posted;
    std::vector<double> now =
        rotatingRun(disk.filePath(QStringLiteral("now")), rotatingBuffers, logger,
                    [&](const ebbcast::RecordingChunkMetadata& chunk, const QString& path) {
                        const std::lock_guard lock(postedLock);
                        posted.emplace_back(chunk, path);
                    });
    std::vector<double> earlier = rotatingRun(
        disk.filePath(QStringLiteral("before")), rotatingBuffers, logger,
        [&](const ebbcast::RecordingChunkMetadata& chunk, const QString& path) {
            ebbcast::SessionDocumentFile::update(documentPath, [&chunk](ebbcast::SessionMetadata& stored) {
                stored.liveChunks->push_back(chunk);
            });
            ebbcast::MetadataWriter::write(chunk, ebbcast::MetadataWriter::chunkDocumentPath(path));
        });
    std::vector<double> nowRotations = rotations(now);
    std::vector<double> earlierRotations = rotations(earlier);
    std::printf("\n%d buffers in 1-second chunks (%zu rotations); the document on %s\n", rotatingBuffers,
                nowRotations.size(), qPrintable(QDir::currentPath()));
    printRow("report posted to the main thread (now)", summarize(now), summarize(nowRotations));
    printRow("document rewritten on the audio thread (before)", summarize(earlier),
             summarize(earlierRotations));
    return 0;
}
