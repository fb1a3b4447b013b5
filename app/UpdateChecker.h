#pragma once

#include "core/base/CodedError.h"

#include <QCoro/QCoroTask>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <functional>
#include <optional>

class QNetworkAccessManager;

namespace ebbcast {

enum class UpdateCheckErrorCode { requestFailed, missingFeedURL, invalidDownloadURL, unreadableFeed };

// Why an update check gave no answer. Descriptions: "Update check failed: <message>", "No update feed URL is
// configured. Add one in Preferences.", "The update feed did not include a valid download URL.", "The update
// feed could not be read: <detail>".
class UpdateCheckError : public CodedError<UpdateCheckErrorCode> {
public:
    static UpdateCheckError requestFailed(const QString& message);
    static UpdateCheckError missingFeedURL();
    static UpdateCheckError invalidDownloadURL();
    static UpdateCheckError unreadableFeed(const QString& detail);

private:
    UpdateCheckError(Code code, QString description);
};

// The feed document: {"version": "1.4.2", "build": 42, "url": "https://…", "notes": "…"}; unknown members
// ignored.
struct UpdateFeed {
    QString version;
    qint64 build = 0; // an exact JSON integer
    QString url;
    std::optional<QString> notes;

    // Throws UpdateCheckError::unreadableFeed.
    static UpdateFeed decode(const QByteArray& body);
};

struct UpdateCheckResult {
    bool isUpdateAvailable = false;
    QString currentVersion;
    qint64 currentBuild = 0;
    QString latestVersion;
    qint64 latestBuild = 0;
    QUrl downloadURL;
    QString notes; // plain text: control characters (but line breaks) removed, at most 2,000 characters
};

struct UpdateCheckerOptions {
    int timeoutMs = 15'000;              // no byte for that long ends the check
    qint64 bodyLimitBytes = 1024 * 1024; // a longer feed or error page fails
    QStringList downloadHosts;           // hosts besides the feed's own a download link may name
    QString currentVersion = QStringLiteral("0");
    QString currentBuild = QStringLiteral("0"); // read as a decimal integer, 0 when it is not one
};

// Asks the update feed whether a newer version than the running one exists; never downloads anything.
// The feed must be https (plain http only on a loopback address, for tests); the announced download link must
// be an absolute https address on the feed's host or one of the configured hosts, without user information,
// since it is later opened in the browser. One plain GET: no cookies, no credentials, redirects only as safe
// as the original. Main thread.
class UpdateChecker {
public:
    using Options = UpdateCheckerOptions;
    using FeedSource = std::function<QString()>; // updateFeedURL, as stored

    UpdateChecker(FeedSource feed, QNetworkAccessManager& network, Options options);

    // Throws UpdateCheckError.
    QCoro::Task<UpdateCheckResult> checkForUpdate();

    // Dotted versions compared piece by piece as digit strings (any length); empty pieces are dropped, a
    // piece with anything but digits counts as 0, a missing piece as 0. Negative, zero or positive.
    static int compareVersions(const QString& a, const QString& b);
    // Whether `result`'s feed build and version are newer than the running ones.
    static bool isNewer(qint64 currentBuild, const QString& currentVersion, qint64 latestBuild,
                        const QString& latestVersion);

private:
    QUrl feedURL() const;
    QUrl downloadURL(const QString& announced, const QUrl& feed) const;

    FeedSource feed_;
    QNetworkAccessManager& network_;
    Options options_;
};

} // namespace ebbcast
