#pragma once

#include "transcription/ChunkPipelinePorts.h"
#include "transcription/GlossenArtifactsResponse.h"
#include "transcription/GlossenChunkUploadMetadata.h"
#include "transcription/GlossenJobStatus.h"
#include "transcription/GlossenUploadResponse.h"

#include <QByteArray>
#include <QCoro/QCoroTask>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <functional>
#include <optional>

class QNetworkAccessManager;
class QNetworkRequest;

namespace ebbcast {

// The two settings the client reads before every request, as stored (untrimmed).
struct GlossenGatewaySettings {
    QString baseURL;
    QString token;
};

// HTTP client of the transcription gateway: uploads a chunk with its metadata, queries the job the upload
// created, lists the job's artifacts and downloads one. Holds nothing between calls; the settings come from
// the source at the start of every call (token first), so a change applies to the next request. A resolver,
// when given, turns the stored settings into those of the request before they are checked (the local
// gateway: "local" becomes the address of the gateway it finds or starts); what it throws is what the call
// throws, and nothing is sent then.
//
// Every request carries "Authorization: Bearer <token>" and follows no redirect (a 3xx is a refusal like
// any status outside 200-299). Identifiers go into the path percent-encoded as one segment each. Time-outs:
// a request fails when no byte moves for `inactivityTimeoutMs` (a slow upload that keeps moving is never
// cut); a GET also ends `getDeadlineMs` after it began. Bodies are limited (see Options) and checked as they
// arrive.
//
// Errors: GlossenGatewayError (settings, identifiers, refusals with the gateway's cleaned text),
// GlossenTransportError (connection, time-out, a cut or oversized reply), GlossenReplyError (a 2xx body that
// does not decode), FileError (the chunk file), DocumentError (metadata that JSON cannot hold).
//
// Main thread: the coroutines run on the thread of the shared QNetworkAccessManager. Arguments are taken by
// reference and copied before the first suspension, so a call may be given temporaries.
class GlossenGatewayClient final : public ChunkTranscriptionGateway {
public:
    using SettingsSource = std::function<GlossenGatewaySettings()>;
    using SettingsResolver = std::function<QCoro::Task<GlossenGatewaySettings>(GlossenGatewaySettings)>;

    struct Options {
        int inactivityTimeoutMs = 60'000;
        int getDeadlineMs = 5 * 60'000;
        qint64 jsonReplyLimitBytes = 1024 * 1024;
        qint64 artifactLimitBytes = 16 * 1024 * 1024;
        qint64 errorBodyLimitBytes = 64 * 1024;
    };

    GlossenGatewayClient(SettingsSource settings, QNetworkAccessManager& network, Options options);
    GlossenGatewayClient(SettingsSource settings, QNetworkAccessManager& network);
    GlossenGatewayClient(SettingsSource settings, SettingsResolver resolver, QNetworkAccessManager& network,
                         Options options);

    // POST v1/ebbcast/sessions/<session id>/chunks: the metadata part, then the file, streamed from disk.
    QCoro::Task<GlossenUploadResponse> uploadChunk(const QString& sessionID,
                                                   const GlossenChunkUploadMetadata& metadata,
                                                   const QString& filePath) override;
    // GET v1/jobs/<id>. The reply must describe this job.
    QCoro::Task<GlossenJobStatus> getJob(const QString& gatewayJobID) override;
    // GET v1/jobs/<id>/artifacts. A "gateway_job_id" in the reply must name this job.
    QCoro::Task<GlossenArtifactsResponse> listArtifacts(const QString& gatewayJobID) override;
    // GET v1/jobs/<id>/artifacts/<artifact id>/download: the raw bytes. With `sizeBytes` (the artifact's
    // "size_bytes"), a body of any other length fails.
    QCoro::Task<QByteArray> downloadArtifact(const QString& gatewayJobID, qint64 artifactID,
                                             std::optional<qint64> sizeBytes = std::nullopt) override;

    const Options& options() const noexcept { return options_; }

private:
    struct Target {
        QUrl url;
        QString token;
    };

    QString gatewayToken(const GlossenGatewaySettings& settings) const;
    QUrl gatewayBaseURL(const GlossenGatewaySettings& settings) const;
    // The settings of this call: the source's, through the resolver when there is one.
    QCoro::Task<GlossenGatewaySettings> settings();
    // Checks the settings, refuses an unusable identifier, and builds the URL of `segments` (each one
    // percent-encoded as one path segment) below the base URL's path.
    Target target(const GlossenGatewaySettings& settings, const QStringList& segments,
                  const QStringList& identifiers) const;
    QNetworkRequest request(const Target& target) const;
    QCoro::Task<QByteArray> get(const Target& target, qint64 limitBytes, std::optional<qint64> exactBytes);
    // Throws GlossenGatewayError::requestFailed unless the status is 2xx.
    static void validate(int status, const QByteArray& body, bool bodyCut, const QString& token);

    SettingsSource settings_;
    SettingsResolver resolver_;
    QNetworkAccessManager& network_;
    Options options_;
};

} // namespace ebbcast
