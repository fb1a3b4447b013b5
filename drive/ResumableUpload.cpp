#include "drive/ResumableUpload.h"

#include "core/base/WorkerTask.h"
#include "drive/DriveProtocol.h"
#include "drive/GoogleEndpoints.h"
#include "drive/GoogleTokenProvider.h"

#include <QFileInfo>
#include <QUrlQuery>

#include <algorithm>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

constexpr auto noUploadURL = "Google Drive did not return a resumable upload URL";

} // namespace

ResumableUpload::ResumableUpload(DriveRequests& requests, const GoogleDriveClient::Options& options,
                                 Target target, const GoogleDriveClient::UploadOptions& uploadOptions)
    : requests_(requests)
    , options_(options)
    , target_(std::move(target))
    , uploadOptions_(uploadOptions)
    , fileName_(QFileInfo(target_.path).fileName())
    , mimeType_(driveMimeType(target_.name))
{}

ResumableUpload::~ResumableUpload() = default;

QStringList ResumableUpload::secrets() const
{
    QStringList result{token_};
    if (!session_.isEmpty()) {
        result.append(session_.toString(QUrl::FullyEncoded));
        result.append(session_.toString());
        // The upload id alone opens the session; short values could only be common words.
        for (const auto& [key, value] : QUrlQuery(session_).queryItems(QUrl::FullyDecoded)) {
            if (value.size() >= 8)
                result.append(value);
        }
    }
    return result;
}

void ResumableUpload::report(qint64 sent, bool backwards)
{
    const qint64 value = std::clamp<qint64>(sent, 0, target_.attributes.size);
    if (!uploadOptions_.progress || (value <= reported_ && !backwards))
        return;
    reported_ = value;
    uploadOptions_.progress(value, target_.attributes.size);
}

bool ResumableUpload::canResume() const
{
    const std::optional<DriveUploadSession>& resume = uploadOptions_.resume;
    return resume && resume->size == target_.attributes.size && resume->modified.isValid() &&
           resume->modified.toMSecsSinceEpoch() == target_.attributes.modified.toMSecsSinceEpoch() &&
           requests_.endpoints().isApiOrigin(resume->sessionURL);
}

QCoro::Task<void> ResumableUpload::startSession()
{
    session_.clear();
    const QUrl url = requests_.url(u"/upload/drive/v3/files"_s, {},
                                   {{u"uploadType"_s, u"resumable"_s}, {u"supportsAllDrives"_s, u"true"_s}});
    const QByteArray metadata = DriveUploadMetadata{target_.name, target_.parentID}.toJson();
    const auto configure = [this](QNetworkRequest& request) {
        request.setRawHeader("Content-Type", "application/json; charset=UTF-8");
        request.setRawHeader("X-Upload-Content-Type", mimeType_.toUtf8());
        request.setRawHeader("X-Upload-Content-Length", QByteArray::number(target_.attributes.size));
    };
    // The request with its one 401 retry; the token it ends with is the upload's.
    QNetworkRequest request = requests_.request(url, token_);
    configure(request);
    DriveExchange::Outcome outcome = co_await requests_.send("POST", request, metadata);
    if (outcome.status == 401) {
        token_ = co_await requests_.tokens().replacementAccessToken(token_);
        request = requests_.request(url, token_);
        configure(request);
        outcome = co_await requests_.send("POST", request, metadata);
    }
    DriveRequests::validate(outcome, {token_});
    const QUrl location(QString::fromUtf8(outcome.location), QUrl::StrictMode);
    if (outcome.location.isEmpty() || !location.isValid() || location.isRelative() ||
        !requests_.endpoints().isApiOrigin(location))
        throw GoogleDriveError::requestFailed(QString::fromLatin1(noUploadURL));
    session_ = location;
    if (uploadOptions_.onSessionStarted)
        uploadOptions_.onSessionStarted(
            DriveUploadSession{session_, target_.attributes.size, target_.attributes.modified});
}

ResumableUpload::Step ResumableUpload::interpret(const DriveExchange::Outcome& outcome,
                                                 std::optional<qint64> lastSent) const
{
    const qint64 total = target_.attributes.size;
    Step step;
    if (outcome.transportFailure) {
        step.error = GoogleDriveError::requestFailed(*outcome.transportFailure);
        step.transport = true;
        return step;
    }
    if (outcome.status == 200 || outcome.status == 201) {
        try {
            step.fileID = DriveFileResponse::decode(outcome.body).id;
            step.kind = Step::Kind::finished;
        } catch (const GoogleDriveError& error) {
            step.error = error;
        }
        return step;
    }
    if (outcome.status == 308) {
        std::optional<qint64> held = qint64{0}; // no "Range": Drive holds nothing
        if (!outcome.range.isEmpty())
            held = parseUploadedRange(outcome.range, total);
        if (!held) {
            step.error =
                GoogleDriveError::requestFailed(u"Google Drive acknowledged an impossible range"_s, 308);
        } else if (lastSent && *held > *lastSent) {
            step.error = GoogleDriveError::requestFailed(
                u"Google Drive acknowledged more bytes than were sent"_s, 308);
        } else {
            step.kind = Step::Kind::acknowledged;
            step.acknowledged = *held;
        }
        return step;
    }
    if (outcome.status == 401) {
        step.kind = Step::Kind::unauthorized;
    } else if (outcome.status == 404 || outcome.status == 410) {
        step.kind = Step::Kind::sessionGone;
    }
    step.error = GoogleDriveError::requestFailed(driveErrorMessage(outcome.body, outcome.status, secrets()),
                                                 outcome.status);
    if (const std::optional<qint64> seconds = parseRetryAfterSeconds(outcome.retryAfter))
        step.retryAfter = std::chrono::milliseconds(std::min<qint64>(*seconds, 24 * 3600) * 1000);
    return step;
}

QCoro::Task<ResumableUpload::Step> ResumableUpload::sendChunk(qint64 offset, qint64 length)
{
    UploadSource& source = *source_;
    const QByteArray chunk =
        co_await runOnWorker([&source, offset, length] { return source.read(offset, length); });
    const qint64 end = offset + length - 1;
    QNetworkRequest request = requests_.request(session_, token_);
    request.setRawHeader("Content-Type", "application/octet-stream");
    request.setRawHeader("Content-Range", "bytes " + QByteArray::number(offset) + '-' +
                                              QByteArray::number(end) + '/' +
                                              QByteArray::number(target_.attributes.size));
    const DriveExchange::Outcome outcome = co_await requests_.send(
        "PUT", request, chunk, [this, offset](qint64 sent) { report(offset + sent); });
    co_return interpret(outcome, end + 1);
}

QCoro::Task<ResumableUpload::Step> ResumableUpload::askOffset()
{
    QNetworkRequest request = requests_.request(session_, token_);
    request.setRawHeader("Content-Range", "bytes */" + QByteArray::number(target_.attributes.size));
    request.setHeader(QNetworkRequest::ContentLengthHeader, 0);
    const DriveExchange::Outcome outcome = co_await requests_.send("PUT", request, QByteArray());
    co_return interpret(outcome, std::nullopt);
}

ResumableUpload::Action ResumableUpload::decide(const Step& step)
{
    Progress& state = progress_;
    const qint64 total = target_.attributes.size;
    const bool asked = state.ask;
    std::optional<GoogleDriveError> failure = step.error;
    switch (step.kind) {
    case Step::Kind::finished:
        report(total);
        return {Action::Kind::finish};
    case Step::Kind::unauthorized:
        if (!state.tokenReplaced) {
            state.tokenReplaced = true;
            return {Action::Kind::replaceToken};
        }
        break;
    case Step::Kind::sessionGone:
        if (!state.ownSession || !state.sessionRenewed) {
            state = Progress{0, 0, false, state.sessionRenewed || state.ownSession, true, false, false};
            report(0, true);
            return {Action::Kind::renewSession};
        }
        throw *failure; // a second session lost as well: no point in a third
    case Step::Kind::acknowledged: {
        // An answer to the question where the upload stands is no failed send, but only bytes Drive took
        // end the count of failed sends: a chunk that always hangs still ends after five.
        const bool progressed = step.acknowledged > state.offset;
        const bool backwards = step.acknowledged < state.offset;
        state.offset = step.acknowledged;
        state.ask = false;
        report(state.offset, backwards);
        if (progressed) {
            state.failedSends = 0;
            state.tokenReplaced = false;
        }
        if (state.offset >= total) {
            if (state.askedAtEnd)
                throw GoogleDriveError::requestFailed(
                    u"Resumable upload completed without a Drive file response for "_s + fileName_);
            state.askedAtEnd = true;
            state.ask = true;
            return {Action::Kind::next};
        }
        if (progressed || asked)
            return {Action::Kind::next};
        failure = GoogleDriveError::requestFailed(u"Google Drive kept none of the chunk"_s, 308);
        break;
    }
    case Step::Kind::failed:
        break;
    }

    // A failed send of this chunk (or of the question where it stands).
    ++state.failedSends;
    if (state.failedSends >= options_.maximumSends)
        throw *failure;
    std::chrono::milliseconds pause = options_.retryPause(state.failedSends);
    if (step.retryAfter)
        pause = std::max(pause, std::min(*step.retryAfter, options_.retryAfterCap));
    if (step.transport)
        state.ask = true; // find out what arrived before sending again
    return {Action::Kind::pause, pause};
}

QCoro::Task<QString> ResumableUpload::run()
{
    const qint64 total = target_.attributes.size;
    token_ = co_await requests_.tokens().validAccessToken();
    const QString path = target_.path;
    source_ = co_await runOnWorker([&path, total] { return std::make_unique<UploadSource>(path, total); });

    progress_ = Progress{};
    if (canResume()) {
        session_ = uploadOptions_.resume->sessionURL;
        progress_.ownSession = false;
        progress_.ask = true;
    } else {
        co_await startSession();
    }

    // GCC 12 mishandles co_await inside conditional expressions and switch statements: the loop only awaits
    // in plain statements, and decide() holds the logic.
    while (true) {
        Step step;
        if (progress_.ask) {
            step = co_await askOffset();
        } else {
            const qint64 length = std::min(total - progress_.offset, options_.chunkSizeBytes);
            step = co_await sendChunk(progress_.offset, length);
        }
        const Action action = decide(step);
        if (action.kind == Action::Kind::finish)
            co_return step.fileID;
        if (action.kind == Action::Kind::replaceToken)
            token_ = co_await requests_.tokens().replacementAccessToken(token_);
        if (action.kind == Action::Kind::renewSession)
            co_await startSession();
        if (action.kind == Action::Kind::pause)
            co_await options_.pause(action.pause);
    }
}

} // namespace ebbcast
