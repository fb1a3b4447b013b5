#pragma once

#include "gateway/GatewayJob.h"

#include <QByteArray>
#include <QString>

#include <atomic>
#include <chrono>
#include <functional>
#include <optional>

namespace httplib {
class Server;
struct Request;
struct Response;
class ContentReader;
} // namespace httplib

namespace ebbcast {

class JobQueue;
class JobStore;
class Logger;

// The gateway's HTTP interface on an httplib server:
//   POST v1/ebbcast/sessions/<session>/chunks   multipart "metadata" + "file" -> 202, the job
//   GET  v1/jobs/<id>                            the job's state
//   GET  v1/jobs/<id>/artifacts                  the transcript artifact once COMPLETE, else 409
//   GET  v1/jobs/<id>/artifacts/1/download       the transcript, text/plain UTF-8
//   GET  v1/health                               engine and process, for the launcher
// Every request needs "Authorization: Bearer <token>". An upload is answered only after its audio and job
// document are on disk. Errors are short plain-text bodies. Thread-safe: httplib calls it from its pool.
class GatewayHttpService {
public:
    struct Limits {
        qint64 maximumAudioBytes = 512LL * 1024 * 1024;
        qint64 maximumMetadataBytes = 64 * 1024;
    };
    struct Engine {
        QString name;
        QString version;
    };

    GatewayHttpService(JobQueue& queue, JobStore& store, Logger& log, QByteArray token, Engine engine,
                       Limits limits);

    // Registers the routes, the error handler and the limits on `server`.
    void install(httplib::Server& server);

    // The address clients reach this server at, for the absolute status URLs when a request has no usable
    // Host header.
    void setPublicAddress(const QString& hostAndPort);

    // Milliseconds on the steady clock of the latest authorised request.
    qint64 lastActivity() const noexcept { return lastActivity_.load(); }

private:
    bool authorised(const httplib::Request& request, httplib::Response& response);
    // The job a request's path names, once the token and the id are checked; otherwise the refusal is in
    // `response` and nothing comes back.
    std::optional<GatewayJob> requestedJob(const httplib::Request& request, httplib::Response& response);
    void upload(const httplib::Request& request, httplib::Response& response,
                const httplib::ContentReader& reader);
    void job(const httplib::Request& request, httplib::Response& response);
    void artifacts(const httplib::Request& request, httplib::Response& response);
    void download(const httplib::Request& request, httplib::Response& response);
    void health(const httplib::Request& request, httplib::Response& response);
    QString statusURL(const httplib::Request& request, const QString& jobID) const;

    JobQueue& queue_;
    JobStore& store_;
    Logger& log_;
    QByteArray expectedAuthorization_;
    Engine engine_;
    Limits limits_;
    QString publicAddress_;
    std::atomic<qint64> lastActivity_;
};

} // namespace ebbcast
