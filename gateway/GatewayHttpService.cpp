#include "gateway/GatewayHttpService.h"

#include "core/base/FileDescriptor.h"
#include "core/base/FileError.h"
#include "core/base/Iso8601.h"
#include "core/base/Logger.h"
#include "core/json/DocumentError.h"
#include "gateway/AudioDecoder.h"
#include "gateway/JobQueue.h"
#include "gateway/JobStore.h"
#include "gateway/UploadMetadata.h"

#include <QCryptographicHash>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QUuid>

#include <fcntl.h>
#include <httplib.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

constexpr int readTimeoutSeconds = 20;
constexpr int writeTimeoutSeconds = 20;

qint64 steadyMilliseconds()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void plainText(httplib::Response& response, int status, const QString& text)
{
    response.status = status;
    response.set_content(QString(text + u'\n').toStdString(), "text/plain; charset=utf-8");
}

void json(httplib::Response& response, int status, const QJsonObject& object)
{
    response.status = status;
    response.set_content(QJsonDocument(object).toJson(QJsonDocument::Compact).toStdString(),
                         "application/json");
}

// The same time whatever the first differing byte, so the token cannot be guessed byte by byte.
bool constantTimeEqual(const QByteArray& given, const QByteArray& expected)
{
    unsigned char difference = given.size() == expected.size() ? 0 : 1;
    for (qsizetype i = 0; i < expected.size(); ++i) {
        const char other = i < given.size() ? given[i] : char(0);
        difference |= static_cast<unsigned char>(other ^ expected[i]);
    }
    return difference == 0;
}

QString matched(const httplib::Request& request, int group)
{
    return QString::fromUtf8(request.matches[group].str());
}

bool isJobID(const QString& id)
{
    static const QRegularExpression pattern(
        u"^[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}$"_s);
    return pattern.match(id).hasMatch();
}

bool isSessionID(const QString& id)
{
    static const QRegularExpression pattern(u"^[A-Za-z0-9._:-]{1,200}$"_s);
    return pattern.match(id).hasMatch() && id != "."_L1 && id != ".."_L1;
}

QString glossenJobID(const QString& engine, const QString& jobID)
{
    return u"local-%1-%2"_s.arg(engine, jobID);
}

// The audio's name in the job folder: only the two extensions the recorders write keep theirs.
QString audioFileName(const std::string& uploadedName)
{
    const QString lower = QString::fromUtf8(uploadedName).toLower();
    if (lower.endsWith(".wav"_L1))
        return u"audio.wav"_s;
    if (lower.endsWith(".m4a"_L1))
        return u"audio.m4a"_s;
    return u"audio.bin"_s;
}

bool diskFull(int error)
{
    return error == ENOSPC || error == EDQUOT;
}

// What one upload request collects while its body streams in.
struct UploadParts {
    enum class Part { none, metadata, file, other };
    enum class Stop { none, metadataTooLarge, fileTooLarge, repeatedPart, diskFull, writeFailed };

    Part current = Part::none;
    Stop stop = Stop::none;
    QByteArray metadata;
    bool sawMetadata = false;
    bool sawFile = false;
    QString audioName;
    std::unique_ptr<FileDescriptor> audio;
    qint64 audioBytes = 0;
    QCryptographicHash hash{QCryptographicHash::Sha256};
};

// Removes an incoming folder unless the job took it.
class IncomingGuard {
public:
    IncomingGuard(JobStore& store, QString folder)
        : store_(store)
        , folder_(std::move(folder))
    {}
    ~IncomingGuard()
    {
        if (!folder_.isEmpty())
            store_.discardIncoming(folder_);
    }
    void release() { folder_.clear(); }

private:
    JobStore& store_;
    QString folder_;
};

} // namespace

GatewayHttpService::GatewayHttpService(JobQueue& queue, JobStore& store, Logger& log, QByteArray token,
                                       Engine engine, Limits limits)
    : queue_(queue)
    , store_(store)
    , log_(log)
    , expectedAuthorization_("Bearer " + token)
    , engine_(std::move(engine))
    , limits_(limits)
    , lastActivity_(steadyMilliseconds())
{}

void GatewayHttpService::install(httplib::Server& server)
{
    server.set_read_timeout(readTimeoutSeconds, 0);
    server.set_write_timeout(writeTimeoutSeconds, 0);
    server.set_keep_alive_timeout(5);
    // The metadata part and the multipart framing around the largest accepted file.
    server.set_payload_max_length(
        static_cast<size_t>(limits_.maximumAudioBytes + limits_.maximumMetadataBytes + 64 * 1024));

    server.Post(R"(/v1/ebbcast/sessions/([^/]+)/chunks)",
                [this](const httplib::Request& request, httplib::Response& response,
                       const httplib::ContentReader& reader) { upload(request, response, reader); });
    server.Get(R"(/v1/jobs/([^/]+))", [this](const httplib::Request& request, httplib::Response& response) {
        job(request, response);
    });
    server.Get(R"(/v1/jobs/([^/]+)/artifacts)",
               [this](const httplib::Request& request, httplib::Response& response) {
                   artifacts(request, response);
               });
    server.Get(R"(/v1/jobs/([^/]+)/artifacts/([^/]+)/download)",
               [this](const httplib::Request& request, httplib::Response& response) {
                   download(request, response);
               });
    server.Get("/v1/health", [this](const httplib::Request& request, httplib::Response& response) {
        health(request, response);
    });

    server.set_error_handler([](const httplib::Request&, httplib::Response& response) {
        if (!response.body.empty())
            return;
        switch (response.status) {
        case 404:
            plainText(response, 404, u"not found"_s);
            break;
        case 413:
            plainText(response, 413, u"request too large"_s);
            break;
        case 414:
            plainText(response, 414, u"request target too long"_s);
            break;
        default:
            plainText(response, response.status, u"bad request"_s);
            break;
        }
    });
    server.set_exception_handler(
        [this](const httplib::Request&, httplib::Response& response, std::exception_ptr) {
            log_.error(u"a request failed inside the gateway"_s);
            plainText(response, 500, u"internal error"_s);
        });
}

void GatewayHttpService::setPublicAddress(const QString& hostAndPort)
{
    publicAddress_ = hostAndPort;
}

bool GatewayHttpService::authorised(const httplib::Request& request, httplib::Response& response)
{
    const QByteArray given = QByteArray::fromStdString(request.get_header_value("Authorization"));
    if (!constantTimeEqual(given, expectedAuthorization_)) {
        log_.error(u"refused a request without the gateway token from %1"_s.arg(
            QString::fromStdString(request.remote_addr)));
        plainText(response, 401, u"unauthorized"_s);
        response.set_header("WWW-Authenticate", "Bearer");
        return false;
    }
    lastActivity_ = steadyMilliseconds();
    return true;
}

void GatewayHttpService::upload(const httplib::Request& request, httplib::Response& response,
                                const httplib::ContentReader& reader)
{
    // A request refused before its body was read leaves the body on the connection: close it.
    const auto refuse = [&response](int status, const QString& text) {
        plainText(response, status, text);
        response.set_header("Connection", "close");
    };
    if (!authorised(request, response)) {
        response.set_header("Connection", "close");
        return;
    }
    const QString sessionID = matched(request, 1);
    if (!isSessionID(sessionID))
        return refuse(400, u"invalid session id"_s);
    if (!request.is_multipart_form_data())
        return refuse(400, u"the upload must be multipart/form-data"_s);
    // An announced body over the limit is refused before a byte of it is read.
    if (request.has_header("Content-Length")) {
        bool numeric = false;
        const qint64 announced =
            QByteArray::fromStdString(request.get_header_value("Content-Length")).toLongLong(&numeric);
        if (!numeric || announced > limits_.maximumAudioBytes + limits_.maximumMetadataBytes + 64 * 1024)
            return refuse(413, u"file larger than %1 MiB"_s.arg(limits_.maximumAudioBytes / (1024 * 1024)));
    }

    QString incoming;
    try {
        incoming = store_.createIncoming();
    } catch (const FileError& error) {
        log_.error(u"upload refused: %1"_s.arg(error.description()));
        return refuse(507, u"insufficient storage"_s);
    }
    IncomingGuard guard(store_, incoming);

    UploadParts parts;
    const bool bodyRead = reader(
        [&](const httplib::MultipartFormData& header) {
            if (header.name == "metadata") {
                if (parts.sawMetadata) {
                    parts.stop = UploadParts::Stop::repeatedPart;
                    return false;
                }
                parts.sawMetadata = true;
                parts.current = UploadParts::Part::metadata;
            } else if (header.name == "file") {
                if (parts.sawFile) {
                    parts.stop = UploadParts::Stop::repeatedPart;
                    return false;
                }
                parts.sawFile = true;
                parts.current = UploadParts::Part::file;
                parts.audioName = audioFileName(header.filename);
                const QString path = incoming + u'/' + parts.audioName;
                auto fd = std::make_unique<FileDescriptor>(::open(
                    QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
                if (fd->get() < 0) {
                    parts.stop =
                        diskFull(errno) ? UploadParts::Stop::diskFull : UploadParts::Stop::writeFailed;
                    return false;
                }
                parts.audio = std::move(fd);
            } else {
                parts.current = UploadParts::Part::other;
            }
            return true;
        },
        [&](const char* data, size_t length) {
            switch (parts.current) {
            case UploadParts::Part::metadata:
                if (parts.metadata.size() + static_cast<qint64>(length) > limits_.maximumMetadataBytes) {
                    parts.stop = UploadParts::Stop::metadataTooLarge;
                    return false;
                }
                parts.metadata.append(data, static_cast<qsizetype>(length));
                return true;
            case UploadParts::Part::file: {
                parts.audioBytes += static_cast<qint64>(length);
                if (parts.audioBytes > limits_.maximumAudioBytes) {
                    parts.stop = UploadParts::Stop::fileTooLarge;
                    return false;
                }
                const QByteArray bytes = QByteArray::fromRawData(data, static_cast<qsizetype>(length));
                parts.hash.addData(bytes);
                if (!writeAll(parts.audio->get(), bytes)) {
                    parts.stop =
                        diskFull(errno) ? UploadParts::Stop::diskFull : UploadParts::Stop::writeFailed;
                    return false;
                }
                return true;
            }
            case UploadParts::Part::none:
            case UploadParts::Part::other:
                return true;
            }
            return true;
        });

    switch (parts.stop) {
    case UploadParts::Stop::none:
        break;
    case UploadParts::Stop::metadataTooLarge:
        return refuse(413, u"metadata part too large"_s);
    case UploadParts::Stop::fileTooLarge:
        return refuse(413, u"file larger than %1 MiB"_s.arg(limits_.maximumAudioBytes / (1024 * 1024)));
    case UploadParts::Stop::repeatedPart:
        return refuse(400, u"a part appears twice"_s);
    case UploadParts::Stop::diskFull:
        log_.error(u"upload refused: the gateway's disk is full"_s);
        return refuse(507, u"insufficient storage"_s);
    case UploadParts::Stop::writeFailed:
        log_.error(u"upload refused: the audio could not be written"_s);
        return refuse(500, u"the audio could not be stored"_s);
    }
    if (!bodyRead)
        return refuse(400, u"malformed multipart body"_s);
    if (!parts.sawMetadata)
        return refuse(400, u"metadata part missing"_s);
    if (!parts.sawFile)
        return refuse(400, u"file part missing"_s);

    const auto decoded = UploadMetadata::decode(parts.metadata, sessionID);
    if (const auto* problem = std::get_if<QString>(&decoded))
        return refuse(400, *problem);
    const auto& metadata = std::get<UploadMetadata>(decoded);

    if (::fsync(parts.audio->get()) != 0 || !parts.audio->close()) {
        const bool full = diskFull(errno);
        log_.error(u"upload refused: the audio could not be synced"_s);
        return refuse(full ? 507 : 500,
                      full ? u"insufficient storage"_s : u"the audio could not be stored"_s);
    }
    parts.audio.reset();
    if (parts.audioBytes == 0)
        return refuse(415, u"file is empty"_s);
    if (const auto problem = AudioDecoder::problem(incoming + u'/' + parts.audioName))
        return refuse(415, u"file is not audio: %1"_s.arg(*problem));

    GatewayJob job;
    job.id = QUuid::createUuid().toString(QUuid::WithoutBraces);
    job.chunk = ChunkIdentity{sessionID, metadata.chunkKind, metadata.chunkIndex,
                              QString::fromLatin1(parts.hash.result().toHex())};
    job.chunkID = u"%1:%2:%3"_s.arg(sessionID, metadata.chunkKind).arg(metadata.chunkIndex);
    job.audioFileName = parts.audioName;
    job.audioBytes = parts.audioBytes;

    JobQueue::Admission admission;
    try {
        guard.release(); // admit() takes the folder or discards it
        admission = queue_.admit(std::move(job), incoming);
    } catch (const FileError& error) {
        const bool full = error.description().contains(u"space"_s, Qt::CaseInsensitive);
        log_.error(u"upload refused: %1"_s.arg(error.description()));
        return refuse(full ? 507 : 500, full ? u"insufficient storage"_s : u"the job could not be stored"_s);
    } catch (const std::exception&) {
        log_.error(u"upload refused: the job document could not be written"_s);
        return refuse(500, u"the job could not be stored"_s);
    }
    const GatewayJob& admitted = admission.job;
    log_.info(u"upload %1: job %2 session %3 %4 %5, %6 bytes"_s
                  .arg(admission.existing ? u"repeated"_s : u"accepted"_s, admitted.id,
                       admitted.chunk.sessionID, admitted.chunk.chunkKind)
                  .arg(admitted.chunk.chunkIndex)
                  .arg(admitted.audioBytes));
    json(response, 202,
         QJsonObject{{u"gateway_job_id"_s, admitted.id},
                     {u"ebbcast_chunk_id"_s, admitted.chunkID},
                     {u"status_url"_s, statusURL(request, admitted.id)},
                     {u"collection_id"_s, admitted.chunk.sessionID},
                     {u"state"_s, jobStateName(admitted.state)}});
}

std::optional<GatewayJob> GatewayHttpService::requestedJob(const httplib::Request& request,
                                                           httplib::Response& response)
{
    if (!authorised(request, response))
        return std::nullopt;
    const QString id = matched(request, 1);
    if (!isJobID(id)) {
        plainText(response, 400, u"invalid job id"_s);
        return std::nullopt;
    }
    auto job = queue_.find(id);
    if (!job)
        plainText(response, 404, u"unknown job"_s);
    return job;
}

void GatewayHttpService::job(const httplib::Request& request, httplib::Response& response)
{
    const auto job = requestedJob(request, response);
    if (!job)
        return;
    QJsonObject object{{u"id"_s, job->id},
                       {u"state"_s, jobStateName(job->state)},
                       {u"glossen_job_id"_s, glossenJobID(engine_.name, job->id)},
                       {u"created_at"_s, Iso8601::format(job->createdAt)},
                       {u"attempts"_s, job->attempts}};
    if (job->startedAt)
        object.insert(u"started_at"_s, Iso8601::format(*job->startedAt));
    if (job->endedAt)
        object.insert(u"ended_at"_s, Iso8601::format(*job->endedAt));
    if (job->state == JobState::complete && job->endedAt)
        object.insert(u"completed_at"_s, Iso8601::format(*job->endedAt));
    if (job->failure)
        object.insert(u"failure"_s, *job->failure);
    json(response, 200, QJsonObject{{u"job"_s, object}});
}

void GatewayHttpService::artifacts(const httplib::Request& request, httplib::Response& response)
{
    const auto job = requestedJob(request, response);
    if (!job)
        return;
    if (job->state != JobState::complete)
        return plainText(response, 409, u"job is %1, not COMPLETE"_s.arg(jobStateName(job->state)));
    const QJsonObject artifact{
        {u"id"_s, 1},
        {u"artifact_type"_s, u"transcript-txt"_s},
        {u"checksum"_s, QString(u"sha256:"_s + job->transcriptSha256.value_or(QString()))},
        {u"size_bytes"_s, QJsonValue(job->transcriptBytes.value_or(0))}};
    json(response, 200, QJsonObject{{u"gateway_job_id"_s, job->id}, {u"artifacts"_s, QJsonArray{artifact}}});
}

void GatewayHttpService::download(const httplib::Request& request, httplib::Response& response)
{
    const auto job = requestedJob(request, response);
    if (!job)
        return;
    if (matched(request, 2) != "1"_L1)
        return plainText(response, 404, u"unknown artifact"_s);
    if (job->state != JobState::complete)
        return plainText(response, 409, u"job is %1, not COMPLETE"_s.arg(jobStateName(job->state)));
    try {
        const QByteArray text = store_.readTranscript(job->id);
        response.status = 200;
        response.set_content(text.toStdString(), "text/plain; charset=utf-8");
    } catch (const FileError& error) {
        log_.error(u"job %1: transcript unreadable: %2"_s.arg(job->id, error.description()));
        plainText(response, 500, u"the transcript could not be read"_s);
    }
}

void GatewayHttpService::health(const httplib::Request& request, httplib::Response& response)
{
    if (!authorised(request, response))
        return;
    json(response, 200,
         QJsonObject{{u"status"_s, u"ok"_s},
                     {u"engine"_s, engine_.name},
                     {u"version"_s, engine_.version},
                     {u"pid"_s, QJsonValue(static_cast<qint64>(::getpid()))},
                     {u"busy"_s, queue_.busy()}});
}

QString GatewayHttpService::statusURL(const httplib::Request& request, const QString& jobID) const
{
    static const QRegularExpression hostPattern(u"^[A-Za-z0-9.:\\[\\]-]{1,255}$"_s);
    QString host = QString::fromStdString(request.get_header_value("Host"));
    if (!hostPattern.match(host).hasMatch())
        host = publicAddress_;
    return u"http://%1/v1/jobs/%2"_s.arg(host, jobID);
}

} // namespace ebbcast
