#include "drive/GoogleAuthManager.h"

#include "core/base/Logger.h"
#include "drive/GoogleAuthError.h"
#include "support/FakeGoogleOAuth.h"
#include "support/InMemorySecretStore.h"
#include "support/LogLines.h"
#include "support/ManualClock.h"
#include "support/RunTask.h"
#include "support/TemporaryFolder.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTest>

#include <gtest/gtest.h>

#include <memory>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

using test::FakeGoogleOAuth;
using test::FakeHttpServer;
using test::runTask;
using Code = GoogleAuthErrorCode;

const QString itemKey = u"Ebbcast.GoogleOAuth/default"_s;

class GoogleAuthManagerTest : public ::testing::Test {
protected:
    void SetUp() override { server_.setModel(oauth_); }

    void TearDown() override
    {
        EXPECT_TRUE(server_.violations().isEmpty()) << server_.violations().join(u"; "_s).toStdString();
        EXPECT_EQ(test::countLogLines(logger_, FakeGoogleOAuth::canary), 0) << "no secret in the log";
        for (QNetworkReply* page : pages_)
            page->deleteLater();
    }

    std::unique_ptr<GoogleAuthManager> manager(bool interactive = true, int tokenTimeoutMs = 60'000)
    {
        GoogleEndpoints endpoints = GoogleEndpoints::defaults();
        endpoints.authorizationURL = oauth_.authorizationURL();
        endpoints.tokenURL = oauth_.tokenURL();
        endpoints.redirectPort = 0;
        return std::make_unique<GoogleAuthManager>(
            [this] { return client_; }, store_, network_, endpoints, logger_,
            [this](const QUrl& address) {
                opened_.append(address);
                if (browserFollows_)
                    pages_.push_back(browserNetwork_.get(QNetworkRequest(address)));
            },
            GoogleAuthManager::Options{.interactiveSignInAllowed = interactive,
                                       .tokenRequestTimeoutMs = tokenTimeoutMs},
            clock_.wallClock());
    }

    GoogleToken stored() const
    {
        const auto token = GoogleToken::fromJson(store_.items.value(itemKey));
        EXPECT_TRUE(token) << "a token is stored";
        return token.value_or(GoogleToken{});
    }

    // Signs in through the fake (the browser follows Google's redirect to the listener).
    GoogleToken signIn(GoogleAuthManager& auth) { return runTask(auth.signIn()); }

    template <typename T>
    Code failureOf(QCoro::Task<T> task)
    {
        try {
            runTask(std::move(task));
        } catch (const GoogleAuthError& error) {
            EXPECT_FALSE(error.description().contains(FakeGoogleOAuth::canary))
                << error.description().toStdString();
            return error.code();
        }
        ADD_FAILURE() << "no GoogleAuthError";
        return Code::invalidAuthURL;
    }

    int tokenRequests() const
    {
        int count = 0;
        for (const auto& request : server_.requests())
            count += request.path == "/token" ? 1 : 0;
        return count;
    }

    test::TemporaryFolder folder_;
    Logger logger_{folder_.file(u"app.log"_s)};
    FakeHttpServer server_;
    FakeGoogleOAuth oauth_{server_, {}};
    test::InMemorySecretStore store_;
    QNetworkAccessManager network_;
    QNetworkAccessManager browserNetwork_;
    test::ManualClock clock_;
    GoogleOAuthClient client_{oauth_.config().clientID, oauth_.config().clientSecret};
    QList<QUrl> opened_;
    std::vector<QNetworkReply*> pages_;
    bool browserFollows_ = true;
};

TEST_F(GoogleAuthManagerTest, SignInStoresTheExchangedTokenWithItsExpiryAndRefreshToken)
{
    auto auth = manager();
    const GoogleToken token = signIn(*auth);
    EXPECT_EQ(token.accessToken, oauth_.lastAccessToken());
    EXPECT_EQ(token.refreshToken, oauth_.lastRefreshToken());
    EXPECT_EQ(token.expiresAt, clock_.now().addSecs(3599));
    EXPECT_EQ(stored(), token);
    EXPECT_EQ(oauth_.consentPages(), 1);
    EXPECT_EQ(oauth_.codeExchanges(), 1);
    EXPECT_EQ(test::countLogLines(logger_, u"Google OAuth sign-in complete"_s), 1);
    EXPECT_TRUE(runTask(auth->isSignedIn()));

    ASSERT_EQ(pages_.size(), 1u);
    ASSERT_TRUE(QTest::qWaitFor([this] { return pages_.front()->isFinished(); }, 5000));
    EXPECT_TRUE(pages_.front()->readAll().contains("received the Google sign-in response"));
    EXPECT_TRUE(auth->pendingAuthorizationURL().isEmpty());
}

TEST_F(GoogleAuthManagerTest,
       WithoutAClientSecretTheFormCarriesNoSecretFieldAndACodeExchangeStoresNoRefreshKey)
{
    FakeHttpServer server;
    FakeGoogleOAuth oauth(server, {.clientSecret = QString(), .issueRefreshTokens = false});
    server.setModel(oauth);
    client_.clientSecret.clear();
    GoogleEndpoints endpoints = GoogleEndpoints::defaults();
    endpoints.authorizationURL = oauth.authorizationURL();
    endpoints.tokenURL = oauth.tokenURL();
    endpoints.redirectPort = 0;
    GoogleAuthManager auth(
        [this] { return client_; }, store_, network_, endpoints, logger_,
        [this](const QUrl& address) { pages_.push_back(browserNetwork_.get(QNetworkRequest(address))); },
        {.interactiveSignInAllowed = true}, clock_.wallClock());
    runTask(auth.signIn());
    EXPECT_TRUE(server.violations().isEmpty()) << server.violations().join(u"; "_s).toStdString();
    EXPECT_FALSE(server.requests().last().body.contains("client_secret"));
    EXPECT_FALSE(QJsonDocument::fromJson(store_.items.value(itemKey)).object().contains(u"refresh_token"_s));
}

TEST_F(GoogleAuthManagerTest, AStoredTokenIsUsedWhileMoreThanAMinuteIsLeftAndRefreshedFromThen)
{
    auto auth = manager(true);
    const GoogleToken first = signIn(*auth);
    auth = manager(false);

    clock_.advance(3599 - 61);
    EXPECT_EQ(runTask(auth->validAccessToken()), first.accessToken) << "61 s left: used as it is";
    EXPECT_EQ(oauth_.refreshes(), 0);
    EXPECT_EQ(store_.saves, 1) << "nothing written";

    clock_.advance(1);
    const QString refreshed = runTask(auth->validAccessToken());
    EXPECT_EQ(oauth_.refreshes(), 1) << "60 s left: refreshed";
    EXPECT_NE(refreshed, first.accessToken);
    EXPECT_EQ(refreshed, oauth_.lastAccessToken());
    EXPECT_EQ(stored().accessToken, refreshed);
    EXPECT_EQ(stored().refreshToken, first.refreshToken)
        << "a reply without a refresh token keeps the old one";
    EXPECT_EQ(stored().expiresAt, clock_.now().addSecs(3599));
    EXPECT_TRUE(opened_.size() == 1) << "no browser after the sign-in";
}

TEST_F(GoogleAuthManagerTest, ConcurrentCallersShareOneRefresh)
{
    auto auth = manager();
    signIn(*auth);
    clock_.advance(3600);
    auto a = auth->validAccessToken();
    auto b = auth->validAccessToken();
    auto c = auth->replacementAccessToken(stored().accessToken);
    const QString first = runTask(std::move(a));
    EXPECT_EQ(runTask(std::move(b)), first);
    EXPECT_EQ(runTask(std::move(c)), first);
    EXPECT_EQ(oauth_.refreshes(), 1);
}

TEST_F(GoogleAuthManagerTest, AReplacementIsRefreshedOnlyWhileTheStoredTokenIsTheRejectedOne)
{
    auto auth = manager(false);
    {
        auto interactive = manager(true);
        signIn(*interactive);
    }
    const QString rejected = stored().accessToken;
    const QString replacement = runTask(auth->replacementAccessToken(rejected));
    EXPECT_NE(replacement, rejected);
    EXPECT_EQ(oauth_.refreshes(), 1) << "a fresh token that Drive refused is refreshed";
    EXPECT_EQ(runTask(auth->replacementAccessToken(rejected)), replacement);
    EXPECT_EQ(oauth_.refreshes(), 1) << "another caller refreshed already";
}

TEST_F(GoogleAuthManagerTest, ARevokedRefreshTokenDeletesTheStoredTokenOtherFailuresKeepIt)
{
    auto auth = manager(false);
    {
        auto interactive = manager(true);
        signIn(*interactive);
    }
    clock_.advance(3600);
    const QByteArray before = store_.items.value(itemKey);

    struct Row {
        FakeHttpServer::Fault fault;
        const char* what;
    };
    const QList<Row> keeping = {
        {FakeHttpServer::Fault::withStatus(503,
                                           R"({"error":"backend_error","error_description":"Try later"})"),
         "503"},
        {FakeHttpServer::Fault::withStatus(302), "redirect"},
        {FakeHttpServer::Fault::withStatus(200, R"({"access_token":"x"})"), "not a token"},
        {FakeHttpServer::Fault::oversized(1024 * 1024), "oversized"},
        {FakeHttpServer::Fault::resetBeforeAnswer(), "reset"},
    };
    for (const Row& row : keeping) {
        // Sticky: the network layer sends a request again by itself after a reset before the answer.
        server_.addFault({.method = "POST", .path = "/token", .sticky = true}, row.fault);
        const Code code = failureOf(auth->validAccessToken());
        EXPECT_TRUE(code == Code::tokenRequestFailed || code == Code::invalidTokenReply) << row.what;
        EXPECT_EQ(store_.items.value(itemKey), before) << row.what;
        server_.clearFaults();
    }
    server_.addFault(
        {.method = "POST", .path = "/token"},
        FakeHttpServer::Fault::withStatus(503, R"({"error":"x","error_description":"Try later"})"));
    try {
        runTask(auth->validAccessToken());
    } catch (const GoogleAuthError& error) {
        EXPECT_EQ(error.description(), u"Google token request failed: Try later (HTTP 503)"_s);
    }
    server_.clearFaults();

    oauth_.revokeRefreshTokens();
    EXPECT_EQ(failureOf(auth->validAccessToken()), Code::signInExpired);
    EXPECT_FALSE(store_.items.contains(itemKey));
    EXPECT_EQ(failureOf(auth->validAccessToken()), Code::notSignedIn);
    EXPECT_TRUE(opened_.size() == 1) << "never interactive outside the sign-in";
}

TEST_F(GoogleAuthManagerTest, WithoutAUsableTokenOnlyAnInteractiveCallerOpensTheBrowser)
{
    auto forbidden = manager(false);
    EXPECT_EQ(failureOf(forbidden->validAccessToken()), Code::notSignedIn);
    EXPECT_EQ(failureOf(forbidden->replacementAccessToken(u"x"_s)), Code::notSignedIn);
    EXPECT_TRUE(opened_.isEmpty());
    EXPECT_TRUE(server_.requests().isEmpty());

    // Expired and without a refresh token: the interactive caller signs in again.
    store_.items[itemKey] =
        GoogleToken{u"old"_s, std::nullopt, clock_.now().addSecs(30), u"Bearer"_s}.toJson();
    EXPECT_EQ(failureOf(forbidden->validAccessToken()), Code::notSignedIn);
    auto interactive = manager(true);
    const QString signedIn = runTask(interactive->validAccessToken());
    EXPECT_EQ(signedIn, oauth_.lastAccessToken());
    EXPECT_EQ(opened_.size(), 1);
}

TEST_F(GoogleAuthManagerTest, AnEmptyClientIDFailsBeforeAnythingOpens)
{
    client_.clientID.clear();
    auto auth = manager(true);
    EXPECT_EQ(failureOf(auth->signIn()), Code::missingClientID);
    EXPECT_EQ(failureOf(auth->validAccessToken()), Code::missingClientID);
    EXPECT_TRUE(opened_.isEmpty());
    EXPECT_TRUE(server_.requests().isEmpty());
    EXPECT_TRUE(store_.items.isEmpty());
}

TEST_F(GoogleAuthManagerTest, ARefusalInTheBrowserOrACancelStoresNothing)
{
    oauth_.setUserRefuses(true);
    auto auth = manager(true);
    EXPECT_EQ(failureOf(auth->signIn()), Code::accessDenied);
    ASSERT_EQ(pages_.size(), 1u);
    ASSERT_TRUE(QTest::qWaitFor([this] { return pages_.front()->isFinished(); }, 5000));
    const QByteArray page = pages_.front()->readAll();
    EXPECT_FALSE(page.contains("<script>"));
    EXPECT_TRUE(page.contains("&lt;script&gt;"));
    oauth_.setUserRefuses(false);

    browserFollows_ = false;
    auto signingIn = auth->signIn();
    EXPECT_FALSE(auth->pendingAuthorizationURL().isEmpty());
    auth->cancelSignIn();
    EXPECT_EQ(failureOf(std::move(signingIn)), Code::signInCancelled);
    EXPECT_TRUE(store_.items.isEmpty());
    EXPECT_EQ(oauth_.codeExchanges(), 0);
}

TEST_F(GoogleAuthManagerTest, TheAuthorizationAddressCarriesPkceAndTheLoopbackRedirect)
{
    browserFollows_ = false;
    auto auth = manager(true);
    auto signingIn = auth->signIn();
    ASSERT_EQ(opened_.size(), 1);
    const auto fields = test::parseStrictForm(opened_.front().query(QUrl::FullyEncoded).toLatin1());
    ASSERT_TRUE(fields);
    EXPECT_EQ(fields->value(u"code_challenge_method"_s), u"S256"_s);
    EXPECT_EQ(fields->value(u"code_challenge"_s).size(), 43);
    EXPECT_TRUE(fields->value(u"redirect_uri"_s).startsWith(u"http://localhost:"_s));
    EXPECT_TRUE(fields->value(u"redirect_uri"_s).endsWith(u"/callback"_s));
    EXPECT_EQ(fields->value(u"scope"_s), FakeGoogleOAuth::driveFileScope);
    auth->cancelSignIn();
    EXPECT_EQ(failureOf(std::move(signingIn)), Code::signInCancelled);
}

TEST_F(GoogleAuthManagerTest, AnUnreadableStoredTokenOrAStoreFailureIsAnErrorAndNotSignedIn)
{
    auto auth = manager(false);
    store_.items[itemKey] = "{\"access_token\":";
    EXPECT_EQ(failureOf(auth->validAccessToken()), Code::storedTokenUnreadable);
    EXPECT_FALSE(runTask(auth->isSignedIn()));

    store_.items.clear();
    store_.failLoads = [] {
        throw EbbcastError(u"keyring locked"_s);
    };
    EXPECT_THROW(runTask(auth->validAccessToken()), EbbcastError);
    EXPECT_FALSE(runTask(auth->isSignedIn()));
    EXPECT_THROW(runTask(auth->signOut()), EbbcastError);
}

TEST_F(GoogleAuthManagerTest, SignOutSaysWhetherATokenWasStored)
{
    auto auth = manager(true);
    EXPECT_FALSE(runTask(auth->signOut()));
    signIn(*auth);
    EXPECT_TRUE(runTask(auth->signOut()));
    EXPECT_TRUE(store_.items.isEmpty());
    EXPECT_FALSE(runTask(auth->isSignedIn()));
}

TEST_F(GoogleAuthManagerTest, ATokenEndpointThatHangsFailsAfterTheTimeOut)
{
    auto auth = manager(false, 300);
    store_.items[itemKey] =
        GoogleToken{u"old"_s, u"refresh"_s, clock_.now().addSecs(-5), u"Bearer"_s}.toJson();
    server_.addFault({.method = "POST", .path = "/token"}, FakeHttpServer::Fault::hang());
    try {
        runTask(auth->validAccessToken());
        ADD_FAILURE() << "a hanging token endpoint gave a token";
    } catch (const GoogleAuthError& error) {
        EXPECT_EQ(error.description(), u"Google token request failed: no answer within 300 ms"_s);
    }
    EXPECT_EQ(tokenRequests(), 1);
    EXPECT_EQ(stored().accessToken, u"old"_s);
}

} // namespace
} // namespace ebbcast
