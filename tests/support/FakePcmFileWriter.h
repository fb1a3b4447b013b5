#pragma once

#include "capture/PcmFileWriter.h"
#include "core/base/FileError.h"

#include <QStringList>

#include <map>
#include <memory>
#include <mutex>
#include <set>

namespace ebbcast::test {

// Writers that only count frames, with open and write failures on command, shared through a registry the
// test inspects. Keeps the 300-second rules fast: nothing touches the disk.
class FakePcmFiles {
public:
    struct File {
        std::int64_t frames = 0;
        bool open = true;
        int failedWrites = 0;
    };

    PcmFileWriterFactory factory()
    {
        return [this](const QString& path, const AudioInputFormat&) -> std::unique_ptr<PcmFileWriter> {
            const std::lock_guard lock(mutex_);
            opened_.append(path);
            if (failOpens_.erase(path) > 0 || failEveryOpen_)
                throw FileError(FileError::Code::writeFailed, path, QStringLiteral("disk on fire"));
            files_[path] = File{};
            return std::make_unique<Writer>(*this, path);
        };
    }

    void failNextOpenOf(const QString& path)
    {
        const std::lock_guard lock(mutex_);
        failOpens_.insert(path);
    }

    void failEveryOpen(bool fail)
    {
        const std::lock_guard lock(mutex_);
        failEveryOpen_ = fail;
    }

    // Writes to files whose name ends with `suffix` fail while set.
    void failWritesTo(const QString& suffix)
    {
        const std::lock_guard lock(mutex_);
        failWriteSuffix_ = suffix;
    }

    File file(const QString& path)
    {
        const std::lock_guard lock(mutex_);
        return files_.count(path) ? files_.at(path) : File{-1, false, 0};
    }

    QStringList opened()
    {
        const std::lock_guard lock(mutex_);
        return opened_;
    }

    int openCount()
    {
        const std::lock_guard lock(mutex_);
        int count = 0;
        for (const auto& [path, file] : files_)
            count += file.open ? 1 : 0;
        return count;
    }

private:
    class Writer : public PcmFileWriter {
    public:
        Writer(FakePcmFiles& files, QString path)
            : files_(files)
            , path_(std::move(path))
        {}
        ~Writer() override
        {
            const std::lock_guard lock(files_.mutex_);
            files_.files_[path_].open = false;
        }
        void write(const AudioInputBuffer& buffer) override
        {
            const std::lock_guard lock(files_.mutex_);
            File& file = files_.files_[path_];
            if (!files_.failWriteSuffix_.isEmpty() && path_.endsWith(files_.failWriteSuffix_)) {
                ++file.failedWrites;
                throw FileError(FileError::Code::writeFailed, path_,
                                QStringLiteral("No space left on device"));
            }
            file.frames += buffer.frameLength;
        }
        const QString& path() const override { return path_; }

    private:
        FakePcmFiles& files_;
        QString path_;
    };

    std::mutex mutex_;
    std::map<QString, File> files_;
    QStringList opened_;
    std::set<QString> failOpens_;
    bool failEveryOpen_ = false;
    QString failWriteSuffix_;
};

} // namespace ebbcast::test
