#pragma once

#include "support/FakeHttpServer.h"

#include <QByteArray>
#include <QCryptographicHash>
#include <QDir>
#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QSet>
#include <QString>
#include <QTemporaryDir>
#include <QUrl>

#include <functional>
#include <memory>
#include <optional>

namespace ebbcast::test {

// A strict stand-in for the Drive v3 REST interface on a FakeHttpServer (it becomes the server's Model).
//
// It knows tokens (a bearer it does not know, or one marked expired, gets 401), a tree of folders and files,
// the search language of the folder and file searches ('…' literals with \' and \\ only; anything else is
// 400 and a violation), folder creation, multipart uploads (strictly framed), resumable sessions
// (X-Upload-Content-Type and -Length, "Content-Range: bytes a-b/total" whose start must be the held offset or
// before it, never after; non-final chunks multiples of 256 KiB; 308 with "Range: bytes=0-N", status
// queries "bytes */total", 404 for a session it does not know), the metadata of a file (processed after a
// number of fetches) and the about endpoint. Chunk bodies are written to disk as they arrive; a finished
// upload's SHA-256 and MD5 are those of the bytes Drive holds.
//
// Faults are armed per route and per matching request ("the third chunk PUT"): a status (5xx, 4xx), 429 with
// Retry-After, 401, a hang, a connection reset before or inside the answer, a short acknowledgement, a 308
// without Range, a Range of 2^64 - 1, a Location on a foreign host, an answer whose JSON is cut short. Faults
// on chunks take their effect first: a chunk that hangs or drops may have been held in part (`keepBytes`).
//
// Every deviation from what a correct client sends is flagged on the server (FakeHttpServer::violations).
class FakeGoogleDrive : public FakeHttpServer::Model {
public:
    enum class Route {
        search,
        createFolder,
        metadata,
        about,
        multipart,
        sessionStart,
        chunk,
        statusQuery,
        unknown
    };

    struct Fault {
        enum class Kind {
            status,          // `status` with a Drive error body (message `message`)
            tooManyRequests, // 429 with "Retry-After: retryAfterSeconds"
            unauthorized,    // 401 as for an expired token
            hang,            // no answer (chunk: `keepBytes` held)
            reset,           // the connection is reset before any answer (chunk: `keepBytes` held).
                             // QNetworkAccessManager then sends the request once more by itself.
            drop,            // the connection is reset inside the answer's body (chunk: `keepBytes` held)
            shortAcknowledgement, // chunk: only `keepBytes` held, 308 says so
            noRange,              // chunk: nothing held, 308 without Range
            hugeRange,            // chunk: 308 with "Range: bytes=0-18446744073709551615"
            foreignLocation,      // session start: Location is `location`, no session opened
            malformedReply,       // not a chunk: the request does its work, the JSON answer is cut short
        };
        Kind kind = Kind::status;
        int status = 500;
        QString message = QStringLiteral("Backend Error");
        int retryAfterSeconds = 0;
        qint64 keepBytes = 0; // of the chunk's bytes; -1: all of them
        QUrl location;

        static Fault withStatus(int status, QString message = QStringLiteral("Backend Error"));
        static Fault tooManyRequests(int retryAfterSeconds);
        static Fault unauthorized();
        static Fault hang(qint64 keepBytes = 0);
        static Fault drop(qint64 keepBytes = 0);
        static Fault reset(qint64 keepBytes = 0);
        static Fault shortAcknowledgement(qint64 keepBytes);
        static Fault noRange();
        static Fault hugeRange();
        static Fault foreignLocation(QUrl location);
        static Fault malformedReply();
    };

    struct Item {
        QString id;
        QString name;
        QString parentID;
        QString mimeType;
        bool trashed = false;
        qint64 size = 0;
        QByteArray sha256; // hex, lower case
        QByteArray md5;    // hex, lower case
        int metadataFetches = 0;
        std::optional<QJsonObject> metadataReply; // replaces the computed metadata
    };

    struct Session {
        QString id;
        QString name;
        QString parentID;
        QString mimeType;
        qint64 total = 0;
        qint64 held = 0;
        QString filePath; // the held bytes
        // With Config::hashOnly: the digests of the bytes held so far, in place of the file.
        std::shared_ptr<struct StreamDigest> digest;
        bool finished = false;
        QString fileID; // once finished
    };

    struct Exchange {
        Route route = Route::unknown;
        QByteArray method;
        QByteArray token;        // the bearer sent
        QByteArray contentRange; // chunks and status queries
        qint64 bodySize = 0;
        int status = 0; // 0: no answer (hang, drop)
    };

    // An upload began (a multipart request, a resumable session opened) or ended (the multipart request
    // answered, the session's last byte held) in the folder `parentID`.
    struct UploadEvent {
        bool opened = false;
        QString parentID;
    };

    struct Config {
        QSet<QString> tokens{QStringLiteral("drive-token")};
        QString rootFolderID = QStringLiteral("root-folder");
        QString displayName = QStringLiteral("Ada Lovelace");
        QString emailAddress = QStringLiteral("ada@example.org");
        int processingFetches = 0; // metadata fetches that report nothing processed yet
        QString storageFolder;     // where chunk bodies go; empty: a folder of its own
        // Chunk bodies are hashed as they arrive and never written (for benchmarks of large files). Bytes
        // sent again over ones already held are not compared with them.
        bool hashOnly = false;
        // Bearers accepted besides `tokens` (for example those a fake OAuth server issued); none when empty.
        std::function<bool(const QString&)> issuedToken;
    };

    FakeGoogleDrive(FakeHttpServer& server, Config config);
    ~FakeGoogleDrive() override;

    // The API URL to give the client (the server's root).
    QUrl apiURL() const;

    void acceptToken(const QString& token) { config_.tokens.insert(token); }
    // The token gets 401 from now on.
    void expireToken(const QString& token) { expired_.insert(token); }

    QString addFolder(const QString& name, const QString& parentID);
    QString addFile(const QString& name, const QString& parentID, const QByteArray& content,
                    const QString& mimeType = QStringLiteral("application/octet-stream"));
    Item* item(const QString& id);
    // Items in creation order.
    QList<Item> items() const;
    // The item created last by an upload, if any.
    std::optional<Item> lastUpload() const;
    const QHash<QString, Session>& sessions() const { return sessions_; }

    // The `request`-th request (from 1, counted from now) to `route` gets the fault; `sticky`: every one
    // from then on.
    void addFault(Route route, int request, const Fault& fault, bool sticky = false);
    void clearFaults() { rules_.clear(); }

    // From now on, a file's metadata reports it processed only from its (fetches + 1)-th fetch.
    void setProcessingFetches(int fetches) { config_.processingFetches = fetches; }
    const QList<UploadEvent>& uploadTimeline() const { return uploadTimeline_; }

    const QList<Exchange>& exchanges() const { return exchanges_; }
    QList<Exchange> exchangesTo(Route route) const;

    FakeHttpServer::Response answer(const FakeHttpServer::Request& request) override;
    std::shared_ptr<FakeHttpServer::BodySink> bodySink(const FakeHttpServer::Request& request) override;

private:
    struct Rule {
        Route route;
        int request;
        Fault fault;
        bool sticky;
        int seen = 0;
        bool spent = false;
    };
    class ChunkSink;

    Route routeOf(const FakeHttpServer::Request& request) const;
    std::optional<Fault> dueFault(Route route);
    FakeHttpServer::Response route(Exchange& exchange, const FakeHttpServer::Request& request,
                                   const std::optional<Fault>& fault);
    FakeHttpServer::Response search(const FakeHttpServer::Request& request);
    FakeHttpServer::Response createFolder(const FakeHttpServer::Request& request);
    FakeHttpServer::Response metadata(const FakeHttpServer::Request& request);
    FakeHttpServer::Response about(const FakeHttpServer::Request& request);
    FakeHttpServer::Response multipart(const FakeHttpServer::Request& request);
    FakeHttpServer::Response startSession(const FakeHttpServer::Request& request,
                                          const std::optional<Fault>& fault);
    FakeHttpServer::Response chunk(const FakeHttpServer::Request& request, const std::optional<Fault>& fault);
    FakeHttpServer::Response statusQuery(const FakeHttpServer::Request& request);
    FakeHttpServer::Response finish(Session& session);
    FakeHttpServer::Response incomplete(const Session& session) const;
    FakeHttpServer::Response error(int status, const QString& message) const;
    FakeHttpServer::Response refuse(int status, const QString& violation);
    Session* sessionOf(const FakeHttpServer::Request& request);
    // Parses the query strictly as Google does ("+" is a space); flags keys outside `allowed`.
    std::optional<QHash<QString, QString>> queryOf(const FakeHttpServer::Request& request,
                                                   const QStringList& allowed);
    bool checkSharedDrives(const QHash<QString, QString>& query);
    QString newID(const QString& prefix);

    FakeHttpServer& server_;
    Config config_;
    std::unique_ptr<QTemporaryDir> ownStorage_;
    QDir storage_;
    QSet<QString> expired_;
    QList<Item> items_;
    QHash<QString, Session> sessions_;
    QList<Rule> rules_;
    QList<Exchange> exchanges_;
    QList<UploadEvent> uploadTimeline_;
    std::optional<QString> lastUpload_;
    int nextID_ = 1;
};

// The running SHA-256 and MD5 of a resumable session's bytes, from its first byte up to `held`.
struct StreamDigest {
    QCryptographicHash sha256{QCryptographicHash::Sha256};
    QCryptographicHash md5{QCryptographicHash::Md5};
    qint64 held = 0;
};

// The search query of the Drive client, parsed: "mimeType = '…'" or "mimeType != '…'", "trashed = false",
// "'…' in parents", "name = '…'", joined by " and ". Nothing, when the text is not of that grammar.
struct DriveSearchQuery {
    std::optional<QString> mimeType;
    std::optional<QString> notMimeType;
    std::optional<bool> trashed;
    std::optional<QString> parentID;
    std::optional<QString> name;

    static std::optional<DriveSearchQuery> parse(const QString& text);
};

} // namespace ebbcast::test
