#pragma once

#include "capture/RecorderError.h"
#include "capture/VideoMediaWriter.h"

#include <condition_variable>
#include <mutex>
#include <vector>

namespace ebbcast::test {

// What the recorder did to its movie writer, shared with the test; failures and a blocking append on command.
struct FakeVideoRecord {
    QString path;
    int width = 0;
    int height = 0;
    bool finished = false;
    std::vector<double> appendedTimes;

    bool refuseInput = false;
    bool failAppends = false;
    int failAppendsAfter = -1; // appends that succeed before every further one fails (-1: no limit)
    bool failAtFinish = false;
    bool holdAppends = false;
    int appendsHeld = 0; // appends waiting for release()

    std::mutex mutex;
    std::condition_variable released;
    std::condition_variable held;

    // Returns once an append is waiting for release(), so later frames queue up behind it.
    void waitForHeldAppend()
    {
        std::unique_lock lock(mutex);
        held.wait(lock, [this] { return appendsHeld > 0; });
    }

    void release()
    {
        {
            const std::lock_guard lock(mutex);
            holdAppends = false;
        }
        released.notify_all();
    }
};

class FakeVideoMediaWriter : public VideoMediaWriter {
public:
    explicit FakeVideoMediaWriter(FakeVideoRecord& record)
        : record_(record)
    {}

    static VideoMediaWriterFactory factory(FakeVideoRecord& record)
    {
        return [&record](const QString& path, int width, int height) -> std::unique_ptr<VideoMediaWriter> {
            record.path = path;
            record.width = width;
            record.height = height;
            if (record.refuseInput)
                throw RecorderError::writerSetupFailed(QStringLiteral("libx264 refused the settings"));
            return std::make_unique<FakeVideoMediaWriter>(record);
        };
    }

    bool append(const ScreenFrame&, double time) override
    {
        std::unique_lock lock(record_.mutex);
        if (record_.holdAppends) {
            ++record_.appendsHeld;
            record_.held.notify_all();
            record_.released.wait(lock, [this] { return !record_.holdAppends; });
            --record_.appendsHeld;
        }
        if (record_.failAppends ||
            (record_.failAppendsAfter >= 0 && std::ssize(record_.appendedTimes) >= record_.failAppendsAfter))
            throw RecorderError::writeFailed(QStringLiteral("encoder gave up"));
        record_.appendedTimes.push_back(time);
        return true;
    }
    void finish() override
    {
        record_.finished = true;
        if (record_.failAtFinish)
            throw RecorderError::writeFailed(QStringLiteral("encoder gave up"));
    }

private:
    FakeVideoRecord& record_;
};

} // namespace ebbcast::test
