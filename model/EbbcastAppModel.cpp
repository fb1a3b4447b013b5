#include "model/EbbcastAppModel.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <utility>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

// Rounds towards negative infinity, so that a start in the future counts as before its first second.
qint64 floorDivide(qint64 value, qint64 divisor)
{
    const qint64 quotient = value / divisor;
    return (value % divisor != 0 && value < 0) ? quotient - 1 : quotient;
}

} // namespace

EbbcastAppModel::EbbcastAppModel(QUrl driveWebURL, QObject* parent)
    : EbbcastAppModel(std::move(driveWebURL), Clocks{}, parent)
{}

EbbcastAppModel::EbbcastAppModel(QUrl driveWebURL, Clocks clocks, QObject* parent)
    : QObject(parent)
    , wallClock_(std::move(clocks.wall))
    , monotonicClock_(std::move(clocks.monotonic))
    , ownTicker_(clocks.ticker ? nullptr : std::make_unique<QtRetryTimer>())
    , ticker_(clocks.ticker ? *clocks.ticker : *ownTicker_)
    , links_(std::move(driveWebURL))
    , elapsedNow_(wallClock_())
    , statusMessage_(u"Ready"_s)
    , lastUploadStatus_(u"No uploads yet"_s)
    , driveDeliveryDetail_(u"No Drive delivery yet"_s)
    , transcriptStatus_(u"No final transcript yet"_s)
    , transcriptDetail_(u"Final transcript is created after all session chunks finish processing."_s)
{}

EbbcastAppModel::~EbbcastAppModel()
{
    cancelTick();
}

template <typename T, typename U>
bool EbbcastAppModel::assign(T& member, U&& value, Signal changed)
{
    if (member == value)
        return false;
    member = std::forward<U>(value);
    Q_EMIT(this->*changed)();
    return true;
}

template <typename Change>
void EbbcastAppModel::changeElapsedInputs(Change change)
{
    const QString before = elapsedText();
    change();
    if (elapsedText() != before)
        Q_EMIT elapsedTextChanged();
}

void EbbcastAppModel::setState(EbbcastRunState state)
{
    assign(state_, state, &EbbcastAppModel::stateChanged);
}

void EbbcastAppModel::setSessionStartDate(std::optional<QDateTime> date)
{
    changeElapsedInputs(
        [&] { assign(sessionStartDate_, std::move(date), &EbbcastAppModel::sessionStartDateChanged); });
}

void EbbcastAppModel::setElapsedNow(const QDateTime& now)
{
    changeElapsedInputs([&] { assign(elapsedNow_, now, &EbbcastAppModel::elapsedNowChanged); });
}

void EbbcastAppModel::setCurrentSessionFolder(std::optional<QString> folder)
{
    assign(currentSessionFolder_, std::move(folder), &EbbcastAppModel::currentSessionFolderChanged);
}

void EbbcastAppModel::setLastSessionFolder(std::optional<QString> folder)
{
    assign(lastSessionFolder_, std::move(folder), &EbbcastAppModel::lastSessionFolderChanged);
}

void EbbcastAppModel::setMicLevel(double level)
{
    assign(micLevel_, level, &EbbcastAppModel::micLevelChanged);
}

void EbbcastAppModel::setSystemLevel(double level)
{
    assign(systemLevel_, level, &EbbcastAppModel::systemLevelChanged);
}

void EbbcastAppModel::setMicLevelFromRecorder(double level)
{
    setMicLevel(meterValue(level));
}

void EbbcastAppModel::setSystemLevelFromRecorder(double level)
{
    setSystemLevel(meterValue(level));
}

double EbbcastAppModel::meterValue(double recorderLevel)
{
    if (std::isnan(recorderLevel))
        return 0;
    return std::clamp(recorderLevel * 12.0, 0.0, 1.0);
}

void EbbcastAppModel::setRecordingIndicatorsHidden(bool hidden)
{
    assign(recordingIndicatorsHidden_, hidden, &EbbcastAppModel::recordingIndicatorsHiddenChanged);
}

void EbbcastAppModel::setGoogleConnected(bool connected)
{
    assign(googleConnected_, connected, &EbbcastAppModel::googleConnectedChanged);
}

void EbbcastAppModel::setUploadQueueCount(int count)
{
    assign(uploadQueueCount_, count, &EbbcastAppModel::uploadQueueCountChanged);
}

void EbbcastAppModel::setTranscriptionQueueCount(int count)
{
    assign(transcriptionQueueCount_, count, &EbbcastAppModel::transcriptionQueueCountChanged);
}

void EbbcastAppModel::setStatusMessage(const QString& message)
{
    assign(statusMessage_, message, &EbbcastAppModel::statusMessageChanged);
}

void EbbcastAppModel::setLastUploadStatus(const QString& status)
{
    assign(lastUploadStatus_, status, &EbbcastAppModel::lastUploadStatusChanged);
}

void EbbcastAppModel::setLastUploadedDriveFolderID(std::optional<QString> folderID)
{
    const std::optional<QString> linkBefore = lastUploadedDriveFolderURL();
    if (assign(lastUploadedDriveFolderID_, std::move(folderID),
               &EbbcastAppModel::lastUploadedDriveFolderIDChanged) &&
        lastUploadedDriveFolderURL() != linkBefore)
        Q_EMIT lastUploadedDriveFolderURLChanged();
}

void EbbcastAppModel::setDriveDeliveryDetail(const QString& detail)
{
    assign(driveDeliveryDetail_, detail, &EbbcastAppModel::driveDeliveryDetailChanged);
}

void EbbcastAppModel::setDriveUploadedFileCount(int count)
{
    assign(driveUploadedFileCount_, count, &EbbcastAppModel::driveUploadedFileCountChanged);
}

void EbbcastAppModel::setDriveDeliveryIsProcessing(bool processing)
{
    assign(driveDeliveryIsProcessing_, processing, &EbbcastAppModel::driveDeliveryIsProcessingChanged);
}

void EbbcastAppModel::setTranscriptStatus(const QString& status)
{
    assign(transcriptStatus_, status, &EbbcastAppModel::transcriptStatusChanged);
}

void EbbcastAppModel::setTranscriptDetail(const QString& detail)
{
    assign(transcriptDetail_, detail, &EbbcastAppModel::transcriptDetailChanged);
}

void EbbcastAppModel::setLastTranscriptURL(std::optional<QString> path)
{
    assign(lastTranscriptURL_, std::move(path), &EbbcastAppModel::lastTranscriptURLChanged);
}

void EbbcastAppModel::setLastTranscriptDriveFolderID(std::optional<QString> folderID)
{
    const std::optional<QString> linkBefore = lastTranscriptDriveFolderURL();
    if (assign(lastTranscriptDriveFolderID_, std::move(folderID),
               &EbbcastAppModel::lastTranscriptDriveFolderIDChanged) &&
        lastTranscriptDriveFolderURL() != linkBefore)
        Q_EMIT lastTranscriptDriveFolderURLChanged();
}

QString EbbcastAppModel::elapsedText() const
{
    return elapsedText(sessionStartDate_, elapsedNow_);
}

QString EbbcastAppModel::elapsedText(const std::optional<QDateTime>& start, const QDateTime& now)
{
    qint64 seconds = 0;
    if (start && start->isValid() && now.isValid())
        seconds = std::max<qint64>(0, start->msecsTo(now) / 1000);
    return QString::asprintf("%02lld:%02lld:%02lld", static_cast<long long>(seconds / 3600),
                             static_cast<long long>(seconds / 60 % 60), static_cast<long long>(seconds % 60));
}

std::optional<QString> EbbcastAppModel::lastUploadedDriveFolderURL() const
{
    if (!lastUploadedDriveFolderID_)
        return std::nullopt;
    return links_.folderLink(*lastUploadedDriveFolderID_);
}

std::optional<QString> EbbcastAppModel::lastTranscriptDriveFolderURL() const
{
    if (!lastTranscriptDriveFolderID_)
        return std::nullopt;
    return links_.folderLink(*lastTranscriptDriveFolderID_);
}

void EbbcastAppModel::startElapsedTimer(std::optional<QDateTime> at)
{
    cancelTick();
    timedWallAnchor_ = wallClock_();
    timedMonotonicAnchor_ = monotonicClock_();
    const QDateTime start = at.value_or(timedWallAnchor_);
    const qint64 elapsedMs = start.msecsTo(timedWallAnchor_);
    nextTickSecond_ = std::max<qint64>(1, floorDivide(elapsedMs, 1000) + 1);
    changeElapsedInputs([&] {
        assign(sessionStartDate_, std::optional<QDateTime>(start), &EbbcastAppModel::sessionStartDateChanged);
        assign(elapsedNow_, timedWallAnchor_, &EbbcastAppModel::elapsedNowChanged);
    });
    scheduleTick();
}

void EbbcastAppModel::stopElapsedTimer(bool reset)
{
    const QDateTime now = isElapsedTimerRunning() ? timedNow() : wallClock_();
    cancelTick();
    changeElapsedInputs([&] {
        assign(elapsedNow_, now, &EbbcastAppModel::elapsedNowChanged);
        if (reset)
            assign(sessionStartDate_, std::optional<QDateTime>(), &EbbcastAppModel::sessionStartDateChanged);
    });
}

QDateTime EbbcastAppModel::timedNow() const
{
    const double sinceAnchor = monotonicClock_() - timedMonotonicAnchor_;
    return timedWallAnchor_.addMSecs(std::llround(sinceAnchor * 1000.0));
}

void EbbcastAppModel::scheduleTick()
{
    const qint64 elapsedMs = sessionStartDate_->msecsTo(timedNow());
    const qint64 delayMs = std::max<qint64>(1, nextTickSecond_ * 1000 - elapsedMs);
    tickID_ = ticker_.start(std::chrono::milliseconds(delayMs), [this] { tick(); });
}

void EbbcastAppModel::tick()
{
    tickID_.reset();
    if (!sessionStartDate_)
        return; // the start was cleared by hand: nothing is timed any more
    const QDateTime now = timedNow();
    const qint64 elapsedMs = sessionStartDate_->msecsTo(now);
    // A timer that fired early waits for the rest of its second; a late one shows the second it is in and
    // aims at the next, so no second is shown twice or left out.
    if (elapsedMs >= nextTickSecond_ * 1000) {
        nextTickSecond_ = floorDivide(elapsedMs, 1000) + 1;
        setElapsedNow(now);
    }
    scheduleTick();
}

void EbbcastAppModel::cancelTick()
{
    if (tickID_)
        ticker_.cancel(*tickID_);
    tickID_.reset();
}

} // namespace ebbcast
