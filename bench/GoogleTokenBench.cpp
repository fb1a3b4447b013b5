// ebbcast_bench_google_token: how long GoogleAuthManager::validAccessToken takes with a fresh token stored in
// the session's Secret Service (each call reads the keyring). Stores a throw-away token under its own service
// name, makes CALLS calls (default 1000) and prints "median_ms p99_ms" on standard output; removes the item.
// Run under a session bus with an unlocked keyring (bench/google_sign_in.sh sets one up).

#include "core/base/Logger.h"
#include "drive/GoogleAuthManager.h"
#include "drive/KeychainStore.h"
#include "support/RunTask.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QNetworkAccessManager>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <vector>

using namespace Qt::StringLiterals;

int main(int argc, char* argv[])
{
    QCoreApplication application(argc, argv);
    const int calls = argc > 1 ? std::max(1, QString::fromLocal8Bit(argv[1]).toInt()) : 1000;
    QTemporaryDir folder;
    ebbcast::Logger logger(folder.filePath(u"bench.log"_s));
    ebbcast::KeychainStore keychain;
    QNetworkAccessManager network;
    const ebbcast::GoogleToken token{u"bench-access"_s, u"bench-refresh"_s,
                                     QDateTime::currentDateTimeUtc().addSecs(3600), u"Bearer"_s};
    ebbcast::test::runTask(keychain.save(ebbcast::GoogleAuthManager::service,
                                         ebbcast::GoogleAuthManager::account, token.toJson()));
    ebbcast::GoogleAuthManager auth(
        [] {
            return ebbcast::GoogleOAuthClient{u"bench"_s, QString()};
        },
        keychain, network, ebbcast::GoogleEndpoints::defaults(), logger, [](const QUrl&) {}, {});
    std::vector<double> milliseconds;
    milliseconds.reserve(static_cast<size_t>(calls));
    for (int i = 0; i < calls; ++i) {
        QElapsedTimer timer;
        timer.start();
        const QString access = ebbcast::test::runTask(auth.validAccessToken());
        milliseconds.push_back(static_cast<double>(timer.nsecsElapsed()) / 1e6);
        if (access != token.accessToken) {
            std::fprintf(stderr, "unexpected token\n");
            return 1;
        }
    }
    ebbcast::test::runTask(
        keychain.remove(ebbcast::GoogleAuthManager::service, ebbcast::GoogleAuthManager::account));
    std::sort(milliseconds.begin(), milliseconds.end());
    const auto at = [&milliseconds](double fraction) {
        return milliseconds[std::min(
            milliseconds.size() - 1,
            static_cast<size_t>(fraction * static_cast<double>(milliseconds.size())))];
    };
    std::printf("%.3f %.3f\n", at(0.5), at(0.99));
    return 0;
}
