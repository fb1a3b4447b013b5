#pragma once

#include "capture/RecorderError.h"
#include "capture/WrapUpMovieWriter.h"

#include <QFile>

#include <condition_variable>
#include <mutex>
#include <vector>

namespace ebbcast::test {

// What the recorder did to its movie writers, shared with the test, and the faults to play. The writer makes
// a real file: `bytesPerFrame` bytes for every picture, so size rules can be tested.
struct FakeWrapUpMovieRecord {
    std::mutex mutex;
    std::condition_variable changed;

    // Observed.
    int created = 0;
    QString path;
    int width = 0;
    int height = 0;
    AudioInputFormat audioFormat;
    std::vector<double> videoTimes;
    std::vector<double> audioTimes;
    bool finished = false;

    // Faults.
    bool failCreate = false;
    int bytesPerFrame = 600;
    int failVideoAfter = -1; // pictures written before every further one fails (-1: never)
    bool failFinish = false; // finish() throws after completing the file
    bool holdFinish = false; // finish() waits for releaseFinish()
    bool finishEntered = false;

    void releaseFinish()
    {
        {
            const std::lock_guard lock(mutex);
            holdFinish = false;
        }
        changed.notify_all();
    }

    int videoCount()
    {
        const std::lock_guard lock(mutex);
        return static_cast<int>(videoTimes.size());
    }
};

class FakeWrapUpMovieWriter : public WrapUpMovieWriter {
public:
    FakeWrapUpMovieWriter(FakeWrapUpMovieRecord& record, const QString& path)
        : record_(record)
        , file_(path)
    {
        if (!file_.open(QIODevice::WriteOnly))
            throw RecorderError::writeFailed(QStringLiteral("Could not create \"%1\"").arg(path));
    }

    static WrapUpMovieWriterFactory factory(FakeWrapUpMovieRecord& record)
    {
        return [&record](const QString& path, int width, int height,
                         const AudioInputFormat& audio) -> std::unique_ptr<WrapUpMovieWriter> {
            {
                const std::lock_guard lock(record.mutex);
                if (record.failCreate)
                    throw RecorderError::writerSetupFailed(QStringLiteral("no encoder for the test"));
                ++record.created;
                record.path = path;
                record.width = width;
                record.height = height;
                record.audioFormat = audio;
            }
            return std::make_unique<FakeWrapUpMovieWriter>(record, path);
        };
    }

    bool appendVideo(const CameraFrame&, double time) override
    {
        int bytes = 0;
        {
            const std::lock_guard lock(record_.mutex);
            if (record_.failVideoAfter >= 0 && int(record_.videoTimes.size()) >= record_.failVideoAfter)
                throw RecorderError::writeFailed(QStringLiteral("No space left on device"));
            record_.videoTimes.push_back(time);
            bytes = record_.bytesPerFrame;
        }
        file_.write(QByteArray(bytes, 'v'));
        file_.flush();
        return true;
    }

    void appendAudio(const AudioInputBuffer&, double time) override
    {
        const std::lock_guard lock(record_.mutex);
        record_.audioTimes.push_back(time);
    }

    void finish() override
    {
        std::unique_lock lock(record_.mutex);
        record_.finishEntered = true;
        record_.changed.notify_all();
        record_.changed.wait(lock, [this] { return !record_.holdFinish; });
        file_.close();
        record_.finished = true;
        if (record_.failFinish)
            throw RecorderError::writeFailed(QStringLiteral("Recording Stopped"));
    }

private:
    FakeWrapUpMovieRecord& record_;
    QFile file_;
};

} // namespace ebbcast::test
