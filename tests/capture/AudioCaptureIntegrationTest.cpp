#include "capture/AudioDeviceError.h"
#include "capture/MicRecorder.h"
#include "capture/RecorderError.h"
#include "capture/SystemAudioRecorder.h"
#include "capture/WavFileWriter.h"
#include "capture/linux/FfmpegAacWriter.h"
#include "capture/linux/PulseAudioInputEngine.h"
#include "capture/linux/PulseAudioSystemAudioSource.h"
#include "core/base/Logger.h"
#include "support/ChunkReports.h"
#include "support/MediaProbe.h"
#include "support/SmallDisk.h"
#include "support/TemporaryFolder.h"

#include <QDir>
#include <QFile>
#include <QProcess>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

using namespace Qt::StringLiterals;

// Against the PulseAudio daemon that scripts/test-services.sh starts: sound played into the sink
// "ebbcast_mic_feed" reaches the default source, and the default sink "ebbcast_speaker" is the system audio.

namespace ebbcast {
namespace {

void sleepSeconds(double seconds)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(static_cast<int>(seconds * 1000)));
}

TEST(AudioCaptureIntegration, MicrophoneRecordsTheDefaultSourceAsFloatWavWithChunks)
{
    test::TemporaryFolder folder;
    Logger logger(folder.file(u"app.log"_s));
    auto engine = std::make_unique<PulseAudioInputEngine>();
    const AudioInputFormat format = engine->inputFormat();
    EXPECT_EQ(format.sampleRate, 44100.0) << "the virtual microphone's own rate";
    EXPECT_EQ(format.channelCount, 2);

    test::TonePlayer tone(u"ebbcast_mic_feed"_s, folder.path());
    sleepSeconds(0.3);
    MicRecorder::Timing timing;
    timing.chunkDurationSeconds = 1.0;
    MicRecorder recorder(folder.file(u"microphone.wav"_s), QString(), logger, std::move(engine),
                         WavFileWriter::factory(), systemTime, timing);
    test::ChunkReports reports;
    std::atomic<float> loudest{0};
    recorder.onChunkCompleted = reports.callback();
    recorder.onLevel = [&loudest](float level) {
        loudest = std::max(loudest.load(), level);
    };
    recorder.startCapture(folder.file(u"chunks"_s));
    sleepSeconds(2.6);
    recorder.stopCapture();

    const auto stream = test::MediaProbe::firstAudioStream(folder.file(u"microphone.wav"_s));
    EXPECT_EQ(stream.codec, u"pcm_f32le"_s);
    EXPECT_EQ(stream.sampleRate, 44100);
    EXPECT_EQ(stream.channels, 2);
    const auto full = test::MediaProbe::decodeAudio(folder.file(u"microphone.wav"_s));
    EXPECT_TRUE(full.ok);
    EXPECT_NEAR(full.seconds, 2.6, 0.4);
    EXPECT_GT(full.rms, 0.1) << "the tone is in the recording";
    EXPECT_GT(loudest.load(), 0.1F);

    const auto chunks = reports.all();
    ASSERT_GE(chunks.size(), 3U);
    for (size_t i = 0; i < chunks.size(); ++i) {
        const auto& [chunk, path] = chunks[i];
        EXPECT_EQ(chunk.index, static_cast<qint64>(i + 1));
        EXPECT_EQ(path, folder.file(QString::asprintf("chunks/mic_chunk_%04d.wav", static_cast<int>(i + 1))));
        const auto decoded = test::MediaProbe::decodeAudio(path);
        EXPECT_NEAR(decoded.seconds, chunk.duration, 0.05);
        if (i + 1 < chunks.size()) {
            EXPECT_GE(chunk.duration, 1.0);
            EXPECT_GT(decoded.rms, 0.1) << path.toStdString();
        }
    }
}

TEST(AudioCaptureIntegration, SystemAudioRecordsTheDefaultSinkAsAacWithChunks)
{
    test::TemporaryFolder folder;
    Logger logger(folder.file(u"app.log"_s));
    test::TonePlayer tone(u"ebbcast_speaker"_s, folder.path());
    sleepSeconds(0.3);
    SystemAudioRecorder recorder(folder.file(u"system_audio.m4a"_s), folder.file(u"chunks"_s), logger,
                                 FfmpegAacWriter::factory(), systemTime, SystemAudioRecorder::Timing{1.0});
    test::ChunkReports reports;
    recorder.onChunkCompleted = reports.callback();
    PulseAudioSystemAudioSource source;
    source.start([&recorder](const AudioSampleBuffer& buffer) { recorder.append(buffer); }, {});
    sleepSeconds(2.6);
    source.stop();
    recorder.stopCapture();

    const auto stream = test::MediaProbe::firstAudioStream(folder.file(u"system_audio.m4a"_s));
    EXPECT_EQ(stream.codec, u"aac"_s);
    EXPECT_EQ(stream.sampleRate, 48000);
    EXPECT_EQ(stream.channels, 2);
    EXPECT_NEAR(static_cast<double>(stream.bitRate), 192000.0, 30000.0);
    const auto full = test::MediaProbe::decodeAudio(folder.file(u"system_audio.m4a"_s));
    EXPECT_TRUE(full.ok);
    EXPECT_NEAR(full.seconds, 2.6, 0.4);
    EXPECT_GT(full.rms, 0.1);

    const SystemAudioCaptureMetadata summary = recorder.captureMetadata();
    EXPECT_EQ(summary.status, u"capturing"_s);
    EXPECT_GT(summary.bufferCount, 100);
    EXPECT_GT(summary.lastLevel, 0.1F);

    const auto chunks = reports.all();
    ASSERT_GE(chunks.size(), 2U);
    for (size_t i = 0; i < chunks.size(); ++i) {
        const auto& [chunk, path] = chunks[i];
        EXPECT_EQ(path,
                  folder.file(QString::asprintf("chunks/system_chunk_%04d.m4a", static_cast<int>(i + 1))));
        EXPECT_EQ(test::MediaProbe::firstAudioStream(path).codec, u"aac"_s);
        const auto decoded = test::MediaProbe::decodeAudio(path);
        EXPECT_GT(decoded.rms, 0.1) << path.toStdString();
        if (i + 1 < chunks.size()) {
            // Chunks are cut by the wall clock, at buffer arrivals: a loaded machine that delivers a late
            // lump of buffers puts a little more audio into one chunk.
            EXPECT_NEAR(decoded.seconds, 1.0, 0.25);
        }
    }
}

TEST(AudioCaptureIntegration, ChangingTheDefaultSourceRestartsTheEngineAndRecordingGoesOn)
{
    test::TemporaryFolder folder;
    const QString logPath = folder.file(u"app.log"_s);
    Logger logger(logPath);
    test::TonePlayer tone(u"ebbcast_mic_feed"_s, folder.path());
    MicRecorder recorder(folder.file(u"microphone.wav"_s), QString(), logger,
                         std::make_unique<PulseAudioInputEngine>(), WavFileWriter::factory(), systemTime, {});
    recorder.startCapture(std::nullopt);
    sleepSeconds(1.0);
    QProcess::execute(u"pactl"_s, {u"set-default-source"_s, u"ebbcast_speaker.monitor"_s});
    sleepSeconds(1.0);
    QProcess::execute(u"pactl"_s, {u"set-default-source"_s, u"ebbcast_microphone"_s});
    sleepSeconds(1.0);
    recorder.stopCapture();

    logger.flush();
    const QByteArray log = test::TemporaryFolder::readAll(logPath);
    EXPECT_GE(log.count("[INFO] Microphone audio configuration changed; checking input engine"), 2)
        << log.constData();
    EXPECT_GE(log.count("[INFO] Microphone input engine restarted after buffer stall or route change"), 2);
    const auto full = test::MediaProbe::decodeAudio(folder.file(u"microphone.wav"_s));
    EXPECT_NEAR(full.seconds, 3.0, 0.5) << "little audio is lost across the restarts";
}

TEST(AudioCaptureIntegration, NoSoundServerGivesAClearErrorAndWritesNothing)
{
    const QByteArray previous = qgetenv("PULSE_SERVER");
    qputenv("PULSE_SERVER", "unix:/nonexistent/pulse/native");
    test::TemporaryFolder folder;
    Logger logger(folder.file(u"app.log"_s));
    {
        MicRecorder recorder(folder.file(u"microphone.wav"_s), QString(), logger,
                             std::make_unique<PulseAudioInputEngine>(), WavFileWriter::factory(), systemTime,
                             {});
        try {
            recorder.startCapture(folder.file(u"chunks"_s));
            ADD_FAILURE() << "started without a sound server";
        } catch (const AudioDeviceError& error) {
            EXPECT_EQ(error.code(), AudioDeviceError::Code::serverUnavailable);
            EXPECT_TRUE(error.description().startsWith(
                u"The sound server (PulseAudio or PipeWire) is not reachable: "_s))
                << error.description().toStdString();
        }
    }
    PulseAudioSystemAudioSource source;
    EXPECT_THROW(source.start([](const AudioSampleBuffer&) {}, {}), AudioDeviceError);
    EXPECT_FALSE(QFile::exists(folder.file(u"microphone.wav"_s)));
    EXPECT_FALSE(QDir(folder.file(u"chunks"_s)).exists());
    if (previous.isEmpty())
        qunsetenv("PULSE_SERVER");
    else
        qputenv("PULSE_SERVER", previous);
}

AudioSampleBuffer toneBuffer(int frames, int& phase)
{
    AudioSampleBuffer buffer;
    buffer.data.resize(frames * 4);
    auto* samples = reinterpret_cast<std::int16_t*>(buffer.data.data());
    for (int i = 0; i < frames; ++i, ++phase) {
        const auto value = static_cast<std::int16_t>(16000 * std::sin(2 * M_PI * 440 * phase / 48000.0));
        samples[2 * i] = value;
        samples[2 * i + 1] = value;
    }
    return buffer;
}

TEST(AacWriterIntegration, WritesAFileThatDecodesToWhatWentIn)
{
    test::TemporaryFolder folder;
    const QString path = folder.file(u"out.m4a"_s);
    FfmpegAacWriter writer(path);
    int phase = 0;
    for (int i = 0; i < 470; ++i) { // 10.03 s
        AudioSampleBuffer buffer = toneBuffer(1024, phase);
        buffer.presentationTimeSeconds = 12.5 + i * 1024 / 48000.0; // the file starts at 0 all the same
        writer.append(buffer);
    }
    writer.finish();

    const auto stream = test::MediaProbe::firstAudioStream(path);
    EXPECT_EQ(stream.codec, u"aac"_s);
    EXPECT_EQ(stream.profile, u"LC"_s);
    const auto decoded = test::MediaProbe::decodeAudio(path);
    EXPECT_NEAR(decoded.seconds, 470 * 1024 / 48000.0, 0.05);
    EXPECT_GT(decoded.rms, 0.3) << "the tone survives encoding";
}

TEST(AacWriterIntegration, ConvertsOtherRatesAndChannelCounts)
{
    test::TemporaryFolder folder;
    const QString path = folder.file(u"out.m4a"_s);
    FfmpegAacWriter writer(path);
    AudioSampleBuffer mono;
    mono.sampleRate = 44100;
    mono.channelCount = 1;
    mono.data = QByteArray(44100 * 2, '\x10'); // one second
    writer.append(mono);
    writer.finish();
    const auto stream = test::MediaProbe::firstAudioStream(path);
    EXPECT_EQ(stream.sampleRate, 48000);
    EXPECT_EQ(stream.channels, 2);
    EXPECT_NEAR(test::MediaProbe::decodeAudio(path).seconds, 1.0, 0.05);
}

TEST(AacWriterIntegration, FullDiskFailsTheAppendAndKeepsEarlierFragmentsPlayable)
{
    test::TemporaryFolder folder;
    test::SmallDisk disk(folder.file(u"tiny"_s), 300);
    if (!disk.isMounted())
        GTEST_SKIP() << "cannot mount a small tmpfs here (needs root)";
    const QString path = disk.file(u"system_audio.m4a"_s);
    std::optional<RecorderError> failure;
    {
        FfmpegAacWriter writer(path);
        int phase = 0;
        try {
            for (int i = 0; i < 47 * 30; ++i)
                writer.append(toneBuffer(1024, phase));
        } catch (const RecorderError& error) {
            failure = error;
        }
    }
    ASSERT_TRUE(failure.has_value()) << "300 kB do not hold 30 s";
    EXPECT_EQ(failure->code(), RecorderError::Code::writeFailed);
    EXPECT_EQ(failure->description(),
              u"Could not write the audio file \""_s + path + u"\": No space left on device"_s);
    const auto decoded = test::MediaProbe::decodeAudio(path);
    disk.unmount();
    EXPECT_GT(decoded.seconds, 4.0) << "the fragments written before the disk filled up still play";
}

} // namespace
} // namespace ebbcast
