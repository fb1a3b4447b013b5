#pragma once

#include "capture/AudioMediaWriter.h"
#include "capture/RecorderError.h"

#include <QStringList>

#include <map>
#include <mutex>
#include <set>

namespace ebbcast::test {

// Media writers that record what happened to them, with failures on command. Nothing touches the disk.
class FakeAudioMediaWriters {
public:
    struct Record {
        bool started = false; // got a buffer
        double startTime = 0; // the first buffer's time stamp
        int appended = 0;
        bool finished = false; // finish() was called
        bool closed = false;   // the writer was destroyed
    };

    AudioMediaWriterFactory factory()
    {
        return [this](const QString& path) -> std::unique_ptr<AudioMediaWriter> {
            const std::lock_guard lock(mutex_);
            created_.append(path);
            if (failCreate_.erase(path) > 0)
                throw RecorderError::writeFailed(QStringLiteral("Could not write the file \"") + path +
                                                 QStringLiteral("\": No such file or directory"));
            if (refuseInput_.erase(path) > 0)
                throw RecorderError::writerSetupFailed(QStringLiteral("the encoder refused its settings"));
            records_[path] = Record{};
            return std::make_unique<Writer>(*this, path, failFinish_.erase(path) > 0);
        };
    }

    void failCreateOf(const QString& path)
    {
        locked([&] { failCreate_.insert(path); });
    }
    void refuseInputOf(const QString& path)
    {
        locked([&] { refuseInput_.insert(path); });
    }
    void failFinishOf(const QString& path)
    {
        locked([&] { failFinish_.insert(path); });
    }
    // Appends to this file fail from now on, as on a full disk (writers made before this call too).
    void failAppendsTo(const QString& path)
    {
        locked([&] { failAppend_.insert(path); });
    }

    QStringList created()
    {
        const std::lock_guard lock(mutex_);
        return created_;
    }

    Record record(const QString& path)
    {
        const std::lock_guard lock(mutex_);
        return records_.count(path) ? records_.at(path) : Record{};
    }

private:
    template <typename F>
    void locked(F f)
    {
        const std::lock_guard lock(mutex_);
        f();
    }

    class Writer : public AudioMediaWriter {
    public:
        Writer(FakeAudioMediaWriters& owner, QString path, bool failFinish)
            : owner_(owner)
            , path_(std::move(path))
            , failFinish_(failFinish)
        {}
        ~Writer() override
        {
            update([](Record& r) { r.closed = true; });
        }
        void append(const AudioSampleBuffer& buffer) override
        {
            bool fail = false;
            {
                const std::lock_guard lock(owner_.mutex_);
                fail = owner_.failAppend_.count(path_) > 0;
            }
            if (fail)
                throw RecorderError::writeFailed(QStringLiteral("No space left on device"));
            update([&buffer](Record& r) {
                if (!r.started)
                    r.startTime = buffer.presentationTimeSeconds;
                r.started = true;
                ++r.appended;
            });
        }
        void finish() override
        {
            update([](Record& r) { r.finished = true; });
            if (failFinish_) {
                // The full file fails without a reason, to show that its log line still gives one.
                throw RecorderError::writeFailed(path_.endsWith(QStringLiteral("system_audio.m4a"))
                                                     ? QString()
                                                     : QStringLiteral("disk full"));
            }
        }

    private:
        template <typename F>
        void update(F f)
        {
            const std::lock_guard lock(owner_.mutex_);
            f(owner_.records_[path_]);
        }

        FakeAudioMediaWriters& owner_;
        QString path_;
        bool failFinish_;
    };

    std::mutex mutex_;
    std::map<QString, Record> records_;
    QStringList created_;
    std::set<QString> failCreate_;
    std::set<QString> refuseInput_;
    std::set<QString> failFinish_;
    std::set<QString> failAppend_;
};

} // namespace ebbcast::test
