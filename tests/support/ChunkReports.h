#pragma once

#include "core/documents/RecordingChunkMetadata.h"

#include <QString>

#include <mutex>
#include <vector>

namespace ebbcast::test {

// Collects a recorder's chunk reports, from whatever thread they come.
class ChunkReports {
public:
    struct Report {
        RecordingChunkMetadata chunk;
        QString path;
    };

    auto callback()
    {
        return [this](const RecordingChunkMetadata& chunk, const QString& path) {
            const std::lock_guard lock(mutex_);
            reports_.push_back({chunk, path});
        };
    }

    std::vector<Report> all() const
    {
        const std::lock_guard lock(mutex_);
        return reports_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<Report> reports_;
};

} // namespace ebbcast::test
