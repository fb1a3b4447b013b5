#pragma once

#include "drive/UploadManager.h"

#include <QString>

#include <functional>

namespace ebbcast {

class Console;

// The lines of one session upload on standard error: one per file when it is done
// ("[3/17] chunks/mic_chunk_0001.wav → 01 Live Chunks: uploaded (9.4 MiB, 1.2 s)", "already uploaded",
// "failed: <reason>", "skipped (no longer there)"), the percentage of a file being sent at most every two
// seconds (in place on a terminal, a line of its own otherwise), the wait for Drive's processing, and the
// counts for the summary. Main thread.
class UploadProgressLines {
public:
    // Milliseconds on a monotonic clock; the default is the steady clock.
    using Clock = std::function<qint64()>;
    static constexpr qint64 progressIntervalMs = 2000;

    explicit UploadProgressLines(Console& console, Clock clock = {});

    void report(const UploadManager::Progress& progress);
    // "2 uploaded (9.4 MiB), 3 already uploaded", with the skipped and failed files when there are any.
    QString counts() const;
    // Replaces a percentage shown in place with nothing, so that what follows starts on a clean line.
    void endPercentage();

    // "312 B", "300.0 KiB", "9.4 MiB", "1.0 GiB".
    static QString sizeText(qint64 bytes);

private:
    QString prefix(const UploadManager::Progress& progress) const;
    void fileLine(const UploadManager::Progress& progress, const QString& outcome);
    void showPercentage(const UploadManager::Progress& progress);

    Console& console_;
    Clock clock_;
    UploadManager::Progress current_;
    qint64 lastLineMs_ = 0;
    bool percentageShown_ = false;
    int sent_ = 0;
    qint64 bytesSent_ = 0;
    int alreadyThere_ = 0;
    int skipped_ = 0;
    int failed_ = 0;
};

} // namespace ebbcast
