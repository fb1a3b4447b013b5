#pragma once

#include "drive/GoogleDriveClient.h"
#include "drive/GoogleEndpoints.h"
#include "drive/GoogleTokenProvider.h"
#include "support/FakeGoogleDrive.h"
#include "support/FakeHttpServer.h"
#include "support/TemporaryFolder.h"
#include "support/TimingScale.h"

#include <QNetworkAccessManager>

#include <chrono>
#include <memory>

namespace ebbcast::test {

// Hands out the token it is given; after a 401 the replacement it is given. Counts the calls.
class FakeTokenProvider : public GoogleTokenProvider {
public:
    QString token = QStringLiteral("drive-token");
    QString replacement = QStringLiteral("drive-token-2");
    int validCalls = 0;
    QStringList rejected;

    QCoro::Task<bool> isSignedIn() override { co_return !token.isEmpty(); }
    QCoro::Task<QString> validAccessToken() override
    {
        ++validCalls;
        const QString copy = token; // GCC 12 moves from a member named in co_return
        co_return copy;
    }
    QCoro::Task<QString> replacementAccessToken(const QString& rejectedToken) override
    {
        rejected.append(rejectedToken);
        token = replacement;
        const QString copy = replacement;
        co_return copy;
    }
};

// A fake Drive, a client pointed at it with small chunks and recorded pauses.
struct DriveTestBed {
    static constexpr qint64 kib = 1024;
    static constexpr qint64 smallChunk = 256 * kib;

    FakeHttpServer server;
    FakeGoogleDrive drive{server, {}};
    GoogleEndpoints endpoints = GoogleEndpoints::defaults();
    FakeTokenProvider tokens;
    QNetworkAccessManager network;
    TemporaryFolder folder;
    QList<std::chrono::milliseconds> pauses;
    std::unique_ptr<GoogleDriveClient> client;

    // Chunks of 256 KiB, resumable from 600 KiB, a 2 s (scaled) transfer time-out; pauses are recorded and
    // not waited.
    explicit DriveTestBed(std::optional<GoogleDriveClient::Options> options = std::nullopt)
    {
        endpoints.apiURL = drive.apiURL();
        drive.acceptToken(tokens.replacement);
        GoogleDriveClient::Options chosen = options.value_or(smallOptions());
        chosen.pause = [this](std::chrono::milliseconds pause) -> QCoro::Task<void> {
            pauses.append(pause);
            co_return;
        };
        client = std::make_unique<GoogleDriveClient>(tokens, network, endpoints, chosen);
    }

    static GoogleDriveClient::Options smallOptions()
    {
        GoogleDriveClient::Options options;
        options.chunkSizeBytes = smallChunk;
        options.resumableThresholdBytes = 600 * kib;
        options.transferTimeoutMs = static_cast<int>(2000 * timingScale());
        return options;
    }

    // A file of `size` bytes whose every 8-byte word differs, so a byte sent at the wrong place changes
    // the checksum.
    QString patternFile(const QString& name, qint64 size)
    {
        QByteArray bytes(size, Qt::Uninitialized);
        for (qint64 i = 0; i < size; ++i)
            bytes[i] = static_cast<char>((i * 2654435761u >> 13) ^ (i >> 8));
        const QString path = folder.file(name);
        TemporaryFolder::writeAll(path, bytes);
        return path;
    }
};

} // namespace ebbcast::test
