#include "app/UploadProgressLines.h"

#include "app/Console.h"

#include <chrono>

using namespace Qt::StringLiterals;

namespace ebbcast {

UploadProgressLines::UploadProgressLines(Console& console, Clock clock)
    : console_(console)
    , clock_(std::move(clock))
{
    if (!clock_) {
        clock_ = [] {
            return std::chrono::duration_cast<std::chrono::milliseconds>(
                       std::chrono::steady_clock::now().time_since_epoch())
                .count();
        };
    }
}

QString UploadProgressLines::sizeText(qint64 bytes)
{
    constexpr double kib = 1024.0;
    if (bytes < 1024)
        return u"%1 B"_s.arg(bytes);
    if (bytes < 1024 * 1024)
        return u"%1 KiB"_s.arg(static_cast<double>(bytes) / kib, 0, 'f', 1);
    if (bytes < qint64(1024) * 1024 * 1024)
        return u"%1 MiB"_s.arg(static_cast<double>(bytes) / (kib * kib), 0, 'f', 1);
    return u"%1 GiB"_s.arg(static_cast<double>(bytes) / (kib * kib * kib), 0, 'f', 1);
}

void UploadProgressLines::report(const UploadManager::Progress& progress)
{
    using Kind = UploadManager::Progress::Kind;
    switch (progress.kind) {
    case Kind::fileStarted:
        current_ = progress;
        lastLineMs_ = clock_();
        break;
    case Kind::fileProgress:
        showPercentage(progress);
        break;
    case Kind::fileUploaded:
        ++sent_;
        bytesSent_ += progress.total;
        fileLine(progress,
                 u"uploaded (%1, %2 s)"_s.arg(sizeText(progress.total)).arg(progress.seconds, 0, 'f', 1));
        break;
    case Kind::fileAlreadyOnDrive:
        ++alreadyThere_;
        fileLine(progress, u"already uploaded"_s);
        break;
    case Kind::fileSkipped:
        ++skipped_;
        fileLine(progress, u"skipped (no longer there)"_s);
        break;
    case Kind::fileFailed:
        ++failed_;
        fileLine(progress, u"failed: "_s + progress.error);
        break;
    case Kind::processingStarted:
        endPercentage();
        console_.write(u"Waiting for Google Drive to process the movies: "_s +
                       progress.videoKeys.join(u", "_s) + u'\n');
        break;
    case Kind::processingFinished:
        endPercentage();
        console_.write(u"Google Drive has processed the movies.\n"_s);
        break;
    }
}

QString UploadProgressLines::counts() const
{
    QString text =
        u"%1 uploaded (%2), %3 already uploaded"_s.arg(sent_).arg(sizeText(bytesSent_)).arg(alreadyThere_);
    if (skipped_ > 0)
        text += u", %1 skipped"_s.arg(skipped_);
    if (failed_ > 0)
        text += u", %1 failed"_s.arg(failed_);
    return text;
}

void UploadProgressLines::endPercentage()
{
    if (!percentageShown_)
        return;
    percentageShown_ = false;
    console_.showStatus(QString());
    console_.write(u"\r"_s);
}

QString UploadProgressLines::prefix(const UploadManager::Progress& progress) const
{
    const QString key = progress.key.isEmpty() ? current_.key : progress.key;
    const QString label = progress.folderLabel.isEmpty() ? current_.folderLabel : progress.folderLabel;
    const int index = progress.index > 0 ? progress.index : current_.index;
    const int count = progress.count > 0 ? progress.count : current_.count;
    return u"[%1/%2] %3 → %4"_s.arg(index).arg(count).arg(key, label);
}

void UploadProgressLines::fileLine(const UploadManager::Progress& progress, const QString& outcome)
{
    endPercentage();
    console_.write(prefix(progress) + u": "_s + outcome + u'\n');
}

void UploadProgressLines::showPercentage(const UploadManager::Progress& progress)
{
    const qint64 now = clock_();
    if (progress.total <= 0 || now - lastLineMs_ < progressIntervalMs)
        return;
    lastLineMs_ = now;
    const QString line =
        prefix(progress) +
        u": %1% of %2"_s.arg(progress.sent * 100 / progress.total).arg(sizeText(progress.total));
    if (console_.errorIsTerminal()) {
        console_.showStatus(line);
        percentageShown_ = true;
    } else {
        console_.write(line + u'\n');
    }
}

} // namespace ebbcast
