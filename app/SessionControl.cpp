#include "app/SessionControl.h"

#include "app/AppDelegate.h"
#include "core/base/EbbcastError.h"
#include "core/base/Logger.h"
#include "model/EbbcastAppModel.h"
#include "session/RecordingSession.h"

#include <QDateTime>

#include <algorithm>
#include <utility>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

const QString quittingText = u"Ebbcast is quitting."_s;

} // namespace

SessionControl::SessionControl(AppDelegate& delegate,
                               std::function<void(const QStringList&, const QString&)> activated)
    : delegate_(delegate)
    , activated_(std::move(activated))
{}

bool SessionControl::quitting() const
{
    return delegate_.session() == nullptr || delegate_.quitCoordinator().isQuitting();
}

QCoro::Task<QString> SessionControl::start()
{
    if (quitting())
        throw EbbcastError(quittingText);
    RecordingSession* session = delegate_.session();
    // A start or stop under way ends first: a start asked for meanwhile answers with its outcome.
    if (session->isTransitioning())
        co_await session->waitUntilSettled();
    session = delegate_.session();
    if (session == nullptr)
        throw EbbcastError(quittingText);
    if (!session->isRecording()) {
        if (quitting())
            throw EbbcastError(quittingText);
        if (delegate_.isWrapUpActive())
            throw EbbcastError(u"A wrap-up note is recording: end it before starting a session."_s);
        delegate_.logger()->info(u"Recording start requested over D-Bus"_s);
        co_await session->start(false);
        session = delegate_.session();
        if (session == nullptr)
            throw EbbcastError(quittingText);
        if (!session->isRecording())
            throw EbbcastError(session->lastStartFailure().value_or(u"The recording did not start."_s));
    }
    co_return session->currentSessionFolder().value_or(QString());
}

QCoro::Task<QString> SessionControl::stop()
{
    RecordingSession* session = delegate_.session();
    if (session == nullptr)
        throw EbbcastError(quittingText);
    if (session->isStopping()) {
        const QString saved = co_await folderOfTheStopUnderWay();
        co_return saved;
    }
    if (session->isStarting())
        co_await session->waitUntilSettled();
    session = delegate_.session();
    if (session == nullptr)
        throw EbbcastError(quittingText);
    if (!session->isRecording())
        co_return QString(); // nothing to stop: already idle
    delegate_.logger()->info(u"Recording stop requested over D-Bus"_s);
    const std::optional<RecordingSession::StopOutcome> outcome = co_await session->stop(false);
    if (!outcome) {
        const QString saved = co_await folderOfTheStopUnderWay(); // another stop got there first
        co_return saved;
    }
    if (!outcome->documentCompleted)
        throw EbbcastError(u"The session in "_s + outcome->sessionFolder + u" could not be completed."_s);
    co_return outcome->sessionFolder;
}

QCoro::Task<QString> SessionControl::folderOfTheStopUnderWay()
{
    RecordingSession* session = delegate_.session();
    if (session != nullptr && session->isTransitioning())
        co_await session->waitUntilSettled();
    session = delegate_.session();
    co_return session != nullptr ? session->lastCompletedSessionFolder().value_or(QString()) : QString();
}

std::optional<double> SessionControl::createMarker(const QString& label)
{
    RecordingSession* session = delegate_.session();
    if (session == nullptr || !session->isRecording())
        return std::nullopt;
    return session->createMarker(label.trimmed().isEmpty() ? u"Marker"_s : label);
}

QVariantMap SessionControl::status() const
{
    const RecordingSession* session = delegate_.session();
    const EbbcastAppModel* model = delegate_.model();
    if (session == nullptr || model == nullptr)
        return {{u"state"_s, u"quitting"_s}};
    QString state = u"idle"_s;
    if (session->isStarting())
        state = u"starting"_s;
    else if (session->isStopping())
        state = u"stopping"_s;
    else if (session->isRecording())
        state = u"recording"_s;
    double elapsed = 0;
    if (session->isRecording() && model->sessionStartDate())
        elapsed =
            std::max<qint64>(0, model->sessionStartDate()->msecsTo(QDateTime::currentDateTimeUtc())) / 1000.0;
    return {
        {u"state"_s, state},
        {u"sessionFolder"_s, session->currentSessionFolder().value_or(QString())},
        {u"lastSessionFolder"_s, model->lastSessionFolderOrEmpty()},
        {u"elapsedSeconds"_s, elapsed},
        {u"transcriptStatus"_s, model->transcriptStatus()},
        {u"uploadStatus"_s, model->lastUploadStatus()},
    };
}

void SessionControl::activate(const QStringList& arguments, const QString& workingDirectory)
{
    if (activated_)
        activated_(arguments, workingDirectory);
}

} // namespace ebbcast
