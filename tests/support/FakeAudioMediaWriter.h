#pragma once

#include "capture/AudioMediaWriter.h"
#include "core/base/FileError.h"

#include <QStringList>

#include <map>
#include <mutex>
#include <set>

namespace ebbcast::test {

// Media writers that record what happened to them, with failures on command. Nothing touches the disk.
class FakeAudioMediaWriters {
public:
    struct Record {
        bool started = false;
        double startTime = 0;
        int appended = 0;
        bool markedFinished = false;
        bool finished = false;
    };

    AudioMediaWriterFactory factory()
    {
        return [this](const QString& path) -> std::unique_ptr<AudioMediaWriter> {
            const std::lock_guard lock(mutex_);
            created_.append(path);
            if (failCreate_.erase(path) > 0)
                throw FileError(FileError::Code::writeFailed, path,
                                QStringLiteral("No such file or directory"));
            records_[path] = Record{};
            return std::make_unique<Writer>(*this, path, refuseInput_.erase(path) > 0,
                                            failFinish_.erase(path) > 0, failAppend_.count(path) > 0);
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
        Writer(FakeAudioMediaWriters& owner, QString path, bool refuseInput, bool failFinish, bool failAppend)
            : owner_(owner)
            , path_(std::move(path))
            , refuseInput_(refuseInput)
            , failFinish_(failFinish)
            , failAppend_(failAppend)
        {}
        bool addAudioInput() override { return !refuseInput_; }
        void startWriting(double time) override
        {
            status_ = Status::writing;
            update([time](Record& r) {
                r.started = true;
                r.startTime = time;
            });
        }
        Status status() const override { return status_; }
        bool isReadyForMoreMediaData() const override { return status_ == Status::writing; }
        void append(const AudioSampleBuffer&) override
        {
            {
                const std::lock_guard lock(owner_.mutex_);
                failAppend_ = failAppend_ || owner_.failAppend_.count(path_) > 0;
            }
            if (failAppend_) {
                status_ = Status::failed;
                return;
            }
            update([](Record& r) { ++r.appended; });
        }
        void markAsFinished() override
        {
            update([](Record& r) { r.markedFinished = true; });
        }
        void finishWriting() override
        {
            if (status_ == Status::writing)
                status_ = failFinish_ ? Status::failed : Status::completed;
            update([](Record& r) { r.finished = true; });
        }
        QString errorDescription() const override
        {
            if (failAppend_)
                return QStringLiteral("No space left on device");
            return failFinish_ && !path_.endsWith(QStringLiteral("system_audio.m4a"))
                       ? QStringLiteral("disk full")
                       : QString();
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
        bool refuseInput_;
        bool failFinish_;
        bool failAppend_;
        Status status_ = Status::unknown;
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
