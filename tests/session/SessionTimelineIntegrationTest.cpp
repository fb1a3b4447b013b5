#include "app/LinuxRecorderFactory.h"
#include "capture/AppActivityMonitor.h"
#include "capture/PermissionManager.h"
#include "capture/linux/X11ScreenFrameSource.h"
#include "clocksync/ClockSyncManager.h"
#include "core/base/Logger.h"
#include "session/ActivityInhibitor.h"
#include "session/AlertPresenter.h"
#include "session/RecordingSession.h"
#include "support/MediaProbe.h"
#include "support/RunTask.h"
#include "support/TemporaryFolder.h"

#include <QDir>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QProcess>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <numbers>
#include <optional>
#include <thread>
#include <vector>

extern char** environ;

using namespace Qt::StringLiterals;

// A whole session on the real recorders, against the Xvfb display and the PulseAudio daemon of
// scripts/test-services.sh: a sound made at a known wall-clock moment must be found at that session time in
// the full audio files and in the chunks that hold it.

namespace ebbcast {
namespace {

RecordingSession::Settings sessionSettings(const QString& recordingFolder)
{
    RecordingSession::Settings settings;
    settings.recordingFolder = recordingFolder;
    return settings;
}

void sleepUntil(const QDateTime& moment)
{
    const qint64 milliseconds = systemTime().msecsTo(moment);
    if (milliseconds > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

// Plays what a thread of the test writes into a PulseAudio sink, through `pacat` fed by a pipe of one page.
// Once the pipe and pacat's 10 ms buffer are full, a write returns only when the sink has played about as
// much, so a block is heard a few tens of milliseconds after it was written. Silence until a tone is asked
// for; the tone (1 kHz, half of full scale, 300 ms) starts with the first block written at or after the
// moment asked, and that block's write time is kept.
class SinkFeed {
public:
    explicit SinkFeed(const char* sink)
    {
        ::signal(SIGPIPE, SIG_IGN); // a pacat that died makes write() fail instead of ending the test
        int ends[2] = {-1, -1};
        if (::pipe2(ends, O_CLOEXEC) != 0)
            throw std::runtime_error("no pipe");
        ::fcntl(ends[1], F_SETPIPE_SZ, 4096);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, ends[0], 0);
        const std::string device = std::string("--device=") + sink;
        const char* arguments[] = {
            "pacat",          "--playback",   "--latency-msec=10", "--raw",
            "--format=s16le", "--rate=48000", "--channels=2",      "--client-name=ebbcast-test-tone",
            device.c_str(),   nullptr};
        const int spawned =
            ::posix_spawnp(&pid_, "pacat", &actions, nullptr, const_cast<char**>(arguments), environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(ends[0]);
        if (spawned != 0) {
            ::close(ends[1]);
            throw std::runtime_error("pacat did not start");
        }
        pipe_ = ends[1];
        writer_ = std::thread([this] { feed(); });
    }

    ~SinkFeed()
    {
        stop_ = true;
        writer_.join();
        ::close(pipe_);
        ::kill(pid_, SIGTERM);
        int status = 0;
        ::waitpid(pid_, &status, 0);
    }

    SinkFeed(const SinkFeed&) = delete;
    SinkFeed& operator=(const SinkFeed&) = delete;

    void playToneAt(const QDateTime& moment) { toneAtMs_ = moment.toMSecsSinceEpoch(); }

    std::optional<QDateTime> toneWrittenAt() const
    {
        const std::lock_guard lock(lock_);
        return toneWrittenAt_;
    }

private:
    void feed()
    {
        constexpr int rate = 48000;
        constexpr int blockFrames = rate / 100; // 10 ms
        std::vector<std::int16_t> block(static_cast<size_t>(blockFrames) * 2);
        int toneFramesLeft = 0;
        int toneFrame = 0;
        bool toneStarted = false;
        while (!stop_) {
            const QDateTime now = systemTime();
            if (!toneStarted && toneAtMs_ >= 0 && now.toMSecsSinceEpoch() >= toneAtMs_) {
                toneStarted = true;
                toneFramesLeft = rate * 3 / 10;
                const std::lock_guard lock(lock_);
                toneWrittenAt_ = now;
            }
            for (int frame = 0; frame < blockFrames; ++frame) {
                std::int16_t sample = 0;
                if (toneFramesLeft > 0) {
                    sample = static_cast<std::int16_t>(
                        std::lround(16384.0 * std::sin(2 * std::numbers::pi * 1000.0 * toneFrame / rate)));
                    ++toneFrame;
                    --toneFramesLeft;
                }
                block[2 * static_cast<size_t>(frame)] = sample;
                block[2 * static_cast<size_t>(frame) + 1] = sample;
            }
            const char* bytes = reinterpret_cast<const char*>(block.data());
            size_t left = block.size() * sizeof(std::int16_t);
            while (left > 0) {
                const ssize_t written = ::write(pipe_, bytes, left);
                if (written < 0 && errno == EINTR)
                    continue;
                if (written <= 0)
                    return;
                bytes += written;
                left -= static_cast<size_t>(written);
            }
        }
    }

    pid_t pid_ = -1;
    int pipe_ = -1;
    std::thread writer_;
    std::atomic<bool> stop_{false};
    std::atomic<qint64> toneAtMs_{-1};
    mutable std::mutex lock_;
    std::optional<QDateTime> toneWrittenAt_;
};

// Where a file's first sample at or above half the tone's level lies, in seconds, as the ffmpeg decoder
// reads the file at its own rate; nothing when the tone is not in it.
std::optional<double> toneOnset(const QString& path)
{
    const int rate = test::MediaProbe::firstAudioStream(path).sampleRate;
    QProcess ffmpeg;
    ffmpeg.start(u"ffmpeg"_s,
                 {u"-v"_s, u"error"_s, u"-i"_s, path, u"-ac"_s, u"1"_s, u"-f"_s, u"f32le"_s, u"-"_s});
    if (rate <= 0 || !ffmpeg.waitForFinished(60000) || ffmpeg.exitCode() != 0) {
        ADD_FAILURE() << "cannot decode " << path.toStdString();
        return std::nullopt;
    }
    const QByteArray samples = ffmpeg.readAllStandardOutput();
    for (qsizetype i = 0; i + 4 <= samples.size(); i += 4) {
        float sample = 0;
        std::memcpy(&sample, samples.constData() + i, 4);
        if (std::fabs(sample) >= 0.25F)
            return static_cast<double>(i / 4) / rate;
    }
    return std::nullopt;
}

// The first chunk of a track (files matching `pattern`, in their order) that holds the tone: the tone's
// session time by the chunk's document, its "start_offset_seconds" plus the onset within the file.
struct ChunkOnset {
    QString file;
    double sessionSeconds = 0;
};

std::optional<ChunkOnset> firstChunkWithTone(const QString& chunkFolder, const QString& pattern)
{
    const QDir folder(chunkFolder);
    for (const QString& name : folder.entryList({pattern}, QDir::Files, QDir::Name)) {
        const auto onset = toneOnset(folder.filePath(name));
        if (!onset)
            continue;
        const QString documentPath = folder.filePath(name.section(u'.', 0, -2) + u".json"_s);
        const auto document =
            nlohmann::json::parse(test::TemporaryFolder::readAll(documentPath).toStdString(), nullptr, false);
        if (!document.is_object() || !document.contains("start_offset_seconds")) {
            ADD_FAILURE() << "no start_offset_seconds in " << documentPath.toStdString();
            return std::nullopt;
        }
        return ChunkOnset{name, document["start_offset_seconds"].get<double>() + *onset};
    }
    return std::nullopt;
}

// The system clock that remembers the first time it told: the session takes its start time first.
class RememberingClock {
public:
    WallClock wallClock()
    {
        return [this] {
            const QDateTime now = systemTime();
            const std::lock_guard lock(lock_);
            if (!first_)
                first_ = now;
            return now;
        };
    }

    std::optional<QDateTime> first() const
    {
        const std::lock_guard lock(lock_);
        return first_;
    }

private:
    mutable std::mutex lock_;
    std::optional<QDateTime> first_;
};

class NoInhibitor : public ActivityInhibitor {
public:
    void begin(const QString&) override {}
    void end() override {}
};

class FailingAlerts : public AlertPresenter {
public:
    void showError(const QString& message) override { ADD_FAILURE() << "alert: " << message.toStdString(); }
};

class NoFrontmost : public FrontmostApplicationSource {
public:
    std::optional<FrontmostApplication> frontmostApplication() override { return std::nullopt; }
};

class SessionTimelineIntegration : public ::testing::Test {
protected:
    test::TemporaryFolder folder_;
    Logger logger_{folder_.file(u"app.log"_s)};
    QNetworkAccessManager network_;
    PermissionManager permissions_{logger_};
    NoFrontmost frontmost_;
    AppActivityMonitor apps_{frontmost_, {}};
    ClockSyncManager clockSync_{{}, logger_, network_};
    LinuxRecorderFactory recorders_{[] { return std::make_unique<X11ScreenFrameSource>(); }, 2.0};
    NoInhibitor inhibitor_;
    FailingAlerts alerts_;
    RememberingClock clock_;
    RecordingSession session_{sessionSettings(folder_.file(u"Recordings"_s)),
                              permissions_,
                              apps_,
                              clockSync_,
                              logger_,
                              recorders_,
                              inhibitor_,
                              alerts_,
                              clock_.wallClock()};
};

// A sound cannot be recorded before it was written, and the recorders place a buffer's first sample one
// buffer length before its arrival, which is never earlier than its capture: a tone is found at or after
// the moment it was written, give or take the milliseconds the three times are rounded to. The path from a
// pipe write to a recorded sample adds a few tens of milliseconds (the pipe, pacat's and the sink's
// buffers ahead of the tone, the recording streams' buffers; the AAC files also begin with the encoder's
// 1024 priming samples): +17 to +41 ms for the microphone and +41 to +63 ms for the system audio over
// many runs, also with both cores busy. A sound placed early by a lost leading silence or a chunk offset
// taken from the wrong moment is below the lower bound; one placed a chunk or a start-up time late is far
// above the upper one.
constexpr double earliestError = -0.005;
constexpr double latestError = 0.15;

TEST_F(SessionTimelineIntegration, AToneLandsAtItsSessionTimeInBothAudioFilesAndTheChunksHoldingIt)
{
    SinkFeed microphone("ebbcast_mic_feed");
    SinkFeed speaker("ebbcast_speaker");
    std::this_thread::sleep_for(std::chrono::seconds(1)); // pacat connected, pipes full: writes keep pace

    test::runTask(session_.start(false));
    ASSERT_TRUE(session_.isRecording());
    const QString folder = session_.currentSessionFolder().value_or(QString());
    const QDateTime start = clock_.first().value();
    // Without the leading silence every sound would sit this much too early.
    std::printf("the session's start took %lld ms\n", static_cast<long long>(start.msecsTo(systemTime())));

    // In the middle of the second 2-second chunk; a slow start moves it by whole chunks, to a later middle.
    double toneSeconds = 3.0;
    while (start.addMSecs(std::llround(toneSeconds * 1000)) < systemTime().addMSecs(500))
        toneSeconds += 2.0;
    const QDateTime toneAt = start.addMSecs(std::llround(toneSeconds * 1000));
    microphone.playToneAt(toneAt);
    speaker.playToneAt(toneAt);
    sleepUntil(toneAt.addMSecs(2000));
    const auto stopped = test::runTask(session_.stop(false));
    ASSERT_TRUE(stopped && stopped->documentCompleted);

    struct Track {
        const char* name;
        const SinkFeed& feed;
        QString file;
        QString chunks;
    };
    for (const Track& track :
         {Track{"microphone", microphone, folder + u"/microphone.wav"_s, u"mic_chunk_*.wav"_s},
          Track{"system audio", speaker, folder + u"/system_audio.m4a"_s, u"system_chunk_*.m4a"_s}}) {
        SCOPED_TRACE(track.name);
        const auto written = track.feed.toneWrittenAt();
        ASSERT_TRUE(written.has_value()) << "the tone was played";
        const double expected = static_cast<double>(start.msecsTo(*written)) / 1000.0;
        const auto inFile = toneOnset(track.file);
        const auto inChunk = firstChunkWithTone(folder + u"/chunks"_s, track.chunks);
        ASSERT_TRUE(inFile.has_value()) << "the tone is in " << track.file.toStdString();
        ASSERT_TRUE(inChunk.has_value()) << "the tone is in a chunk";
        std::printf("%s: tone written at %.3f s of the session; found at %.3f s in %s (%+.0f ms), at %.3f s "
                    "by %s (%+.0f ms)\n",
                    track.name, expected, *inFile, qPrintable(QFileInfo(track.file).fileName()),
                    (*inFile - expected) * 1000, inChunk->sessionSeconds, qPrintable(inChunk->file),
                    (inChunk->sessionSeconds - expected) * 1000);
        EXPECT_GE(*inFile - expected, earliestError);
        EXPECT_LE(*inFile - expected, latestError);
        EXPECT_GE(inChunk->sessionSeconds - expected, earliestError) << inChunk->file.toStdString();
        EXPECT_LE(inChunk->sessionSeconds - expected, latestError) << inChunk->file.toStdString();
    }
}

} // namespace
} // namespace ebbcast
