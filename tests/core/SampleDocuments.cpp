#include "core/SampleDocuments.h"

using namespace Qt::StringLiterals;

namespace ebbcast::test {
namespace {

QDateTime utc(int hour, int minute, int second)
{
    return QDateTime(QDate(2026, 12, 6), QTime(hour, minute, second), Qt::UTC);
}

} // namespace

RecordingChunkMetadata completeChunk()
{
    RecordingChunkMetadata chunk;
    chunk.index = 1;
    chunk.kind = u"microphone"_s;
    chunk.startTime = utc(8, 15, 2);
    chunk.endTime = utc(8, 20, 2);
    chunk.duration = 300.0;
    chunk.filePath = u"/home/ada/Movies/Tavilon/2026-12-06_09-15-02/chunks/mic_chunk_0001.wav"_s;
    chunk.sessionStartTime = utc(8, 15, 2);
    chunk.startOffsetSeconds = 0.0;
    chunk.endOffsetSeconds = 300.0;
    chunk.timecodeStart = u"00:00:00.000"_s;
    chunk.timecodeEnd = u"00:05:00.000"_s;
    chunk.serverStartTime = utc(8, 15, 3);
    chunk.serverEndTime = utc(8, 20, 3);
    chunk.clockOffsetMilliseconds = 812.25;
    chunk.clockRoundTripMilliseconds = 35.5;
    chunk.clockSyncStatus = u"synced"_s;
    chunk.gatewayJobID = u"job-17"_s;
    chunk.ebbcastChunkID = u"chunk-9"_s;
    chunk.collectionID = u"collection/a"_s;
    chunk.gatewayStatusURL = u"http://127.0.0.1:8000/jobs/job-17"_s;
    chunk.transcriptionStatus = u"completed"_s;
    chunk.transcriptText = u"Hello \"world\"\n\tsecond line \u00e9\U0001F600"_s;
    chunk.transcriptArtifactID = 4242;
    chunk.transcriptArtifactType = u"transcript"_s;
    chunk.transcriptArtifactChecksum = u"sha256:abc"_s;
    chunk.transcriptArtifactSizeBytes = 9007199254740993LL; // beyond a double's exact integers
    chunk.glossenJobID = u"g-1"_s;
    chunk.transcriptionCompletedAt = utc(8, 21, 0);
    return chunk;
}

SessionMetadata startedSession()
{
    SessionMetadata session;
    session.sessionID = u"2026-12-06_09-15-02"_s;
    session.startTime = utc(8, 15, 2);
    session.activeAppName = u"Zoom"_s;
    session.activeAppBundleID = u"zoom.us"_s;
    session.recorder = {u"velno"_s, u"Velno"_s};
    session.display = {4294967295U, 2560, 1440, std::nullopt};
    session.audioDevices = {u"Default microphone"_s, u"ScreenCaptureKit system audio"_s};
    session.systemAudioCapture = SystemAudioCaptureMetadata::unavailable();
    session.liveChunks = std::vector<RecordingChunkMetadata>{};
    const QString folder = u"/home/ada/Movies/Tavilon/2026-12-06_09-15-02/"_s;
    session.files = {folder + u"screen.mov"_s, folder + u"system_audio.m4a"_s, folder + u"microphone.wav"_s,
                     folder + u"metadata.json"_s};
    session.appVersion = u"0.1.0"_s;
    return session;
}

SessionMetadata completeSession()
{
    SessionMetadata session = startedSession();
    session.endTime = utc(9, 15, 2);
    session.duration = 3600.25;
    ClockSyncSample sample{utc(8, 15, 0), utc(8, 15, 1), 12.5, 12.535, utc(8, 15, 1), 35.0, -12.75};
    session.clockSync =
        ClockSyncMetadata{u"http"_s, u"https://clock.example/time"_s, sample, {sample, sample}, u"synced"_s};
    session.display.name = u"DP-1"_s;
    session.systemAudioCapture = {
        u"ScreenCaptureKit system audio"_s, u"capturing"_s, 1234, utc(8, 15, 3), 0.1f, u"note"_s};
    session.interrupted = true;
    session.interruptionNote = u"Ebbcast exited before the recording stop sequence completed."_s;
    session.wrapUp = WrapUpSessionMetadata::complete(u"/a/wrap_up.mov"_s, u"/a/wrap_up_metadata.json"_s);
    session.markers = {{u"8F9C1E2A-0000-4000-8000-000000000001"_s, 12.5, utc(8, 15, 14), u"Marker"_s}};
    session.liveChunks = std::vector<RecordingChunkMetadata>{completeChunk()};
    return session;
}

} // namespace ebbcast::test
