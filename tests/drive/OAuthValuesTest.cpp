#include "drive/GoogleToken.h"
#include "drive/OAuthEncoding.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSet>

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

QDateTime at(const QString& iso)
{
    return QDateTime::fromString(iso, Qt::ISODateWithMs);
}

TEST(GoogleToken, IsStoredAsCompactJsonWithSecondsSince2001AndNoRefreshKeyWhenAbsent)
{
    const GoogleToken token{u"a+/=&"_s, u"r"_s, at(u"2001-01-01T00:01:40.5Z"_s), u"Bearer"_s};
    const QJsonObject stored = QJsonDocument::fromJson(token.toJson()).object();
    EXPECT_FALSE(token.toJson().contains('\n'));
    EXPECT_EQ(stored.value(u"access_token"_s).toString(), u"a+/=&"_s);
    EXPECT_EQ(stored.value(u"refresh_token"_s).toString(), u"r"_s);
    EXPECT_DOUBLE_EQ(stored.value(u"expires_at"_s).toDouble(), 100.5);
    EXPECT_EQ(stored.value(u"token_type"_s).toString(), u"Bearer"_s);
    EXPECT_EQ(GoogleToken::fromJson(token.toJson()), token);

    const GoogleToken withoutRefresh{u"a"_s, std::nullopt, at(u"2026-12-06T08:15:02.250Z"_s), u"Bearer"_s};
    EXPECT_FALSE(QJsonDocument::fromJson(withoutRefresh.toJson()).object().contains(u"refresh_token"_s));
    EXPECT_EQ(GoogleToken::fromJson(withoutRefresh.toJson()), withoutRefresh);
}

TEST(GoogleToken, AStoredDocumentThatIsNotExactlyATokenDoesNotDecode)
{
    const QList<QByteArray> refused = {
        "",
        "not json",
        "[]",
        R"({"refresh_token":"r","expires_at":1,"token_type":"Bearer"})",
        R"({"access_token":"","expires_at":1,"token_type":"Bearer"})",
        R"({"access_token":"a","expires_at":"1","token_type":"Bearer"})",
        R"({"access_token":"a","expires_at":1})",
        R"({"access_token":"a","expires_at":1,"token_type":"Bearer","refresh_token":5})",
        R"({"access_token":"a","expires_at":1e300,"token_type":"Bearer"})",
    };
    for (const QByteArray& document : refused)
        EXPECT_FALSE(GoogleToken::fromJson(document)) << document.constData();
    EXPECT_TRUE(
        GoogleToken::fromJson(R"({"access_token":"a","expires_at":-5.25,"token_type":"x","extra":[1]})"));
}

TEST(GoogleToken, IsFreshOnlyWithMoreThanTheMarginLeft)
{
    const QDateTime now = at(u"2026-12-06T08:00:00Z"_s);
    const auto expiringIn = [&now](qint64 ms) {
        return GoogleToken{u"a"_s, std::nullopt, now.addMSecs(ms), u"Bearer"_s};
    };
    EXPECT_TRUE(expiringIn(61'000).freshFor(now, 60.0));
    EXPECT_TRUE(expiringIn(60'001).freshFor(now, 60.0));
    EXPECT_FALSE(expiringIn(60'000).freshFor(now, 60.0));
    EXPECT_FALSE(expiringIn(-1).freshFor(now, 60.0));
}

TEST(GoogleTokenResponse, RequiresAccessTokenLifetimeAndTypeAndIgnoresTheRest)
{
    const auto response = GoogleTokenResponse::fromJson(
        R"({"access_token":"t","expires_in":3599,"token_type":"Bearer","scope":"s","id_token":"x"})");
    ASSERT_TRUE(response);
    EXPECT_EQ(response->expiresIn, 3599);
    EXPECT_FALSE(response->refreshToken);

    const QList<QByteArray> refused = {
        R"({"expires_in":3599,"token_type":"Bearer"})",
        R"({"access_token":"t","token_type":"Bearer"})",
        R"({"access_token":"t","expires_in":3599})",
        R"({"access_token":"t","expires_in":"3599","token_type":"Bearer"})",
        R"({"access_token":"t","expires_in":35.5,"token_type":"Bearer"})",
        R"({"access_token":"t","expires_in":-1,"token_type":"Bearer"})",
        R"({"access_token":7,"expires_in":1,"token_type":"Bearer"})",
        R"({"access_token":"t","expires_in":1,"token_type":"Bearer","refresh_token":false})",
        "<html>",
    };
    for (const QByteArray& body : refused)
        EXPECT_FALSE(GoogleTokenResponse::fromJson(body)) << body.constData();
}

TEST(GoogleTokenResponse, ARefreshWithoutANewRefreshTokenKeepsTheOldOne)
{
    const QDateTime received = at(u"2026-12-06T08:00:00Z"_s);
    const auto plain =
        GoogleTokenResponse::fromJson(R"({"access_token":"t","expires_in":60,"token_type":"B"})");
    ASSERT_TRUE(plain);
    EXPECT_EQ(plain->token(received, u"old"_s).refreshToken, u"old"_s);
    EXPECT_EQ(plain->token(received, std::nullopt).refreshToken, std::nullopt);
    EXPECT_EQ(plain->token(received, std::nullopt).expiresAt, received.addSecs(60));
    const auto rotated = GoogleTokenResponse::fromJson(
        R"({"access_token":"t","expires_in":60,"token_type":"B","refresh_token":"new"})");
    ASSERT_TRUE(rotated);
    EXPECT_EQ(rotated->token(received, u"old"_s).refreshToken, u"new"_s);
}

TEST(OAuthEncoding, AFormBodyEscapesEverythingButUnreservedCharactersAndDropsEmptyFields)
{
    EXPECT_EQ(
        OAuthEncoding::formBody(
            {{u"code"_s, u"4/0A+b=c&d e"_s}, {u"client_secret"_s, QString()}, {u"name"_s, u"é~-._%"_s}}),
        "code=4%2F0A%2Bb%3Dc%26d%20e&name=%C3%A9~-._%25");
    EXPECT_EQ(OAuthEncoding::formBody({{u"a"_s, QString()}}), QByteArray());
}

TEST(OAuthEncoding, AFormDecodesStrictlyAndEveryEncodedValueComesBackUnchanged)
{
    const auto fields = OAuthEncoding::decodeForm("a=1+2&b=%2B%26&c&=x&&d=%C3%A9");
    ASSERT_TRUE(fields);
    const FormFields expected{
        {u"a"_s, u"1 2"_s}, {u"b"_s, u"+&"_s}, {u"c"_s, QString()}, {QString(), u"x"_s}, {u"d"_s, u"é"_s}};
    EXPECT_EQ(*fields, expected);
    for (const QByteArray& bad :
         {QByteArray("a=%"), QByteArray("a=%2"), QByteArray("a=%zz"), QByteArray("a=%FF")})
        EXPECT_FALSE(OAuthEncoding::decodeForm(bad)) << bad.constData();

    for (const QString& value : {u"+/=&%#?"_s, u"ümlaut 😀"_s, u" "_s}) {
        const auto decoded = OAuthEncoding::decodeForm(OAuthEncoding::formBody({{u"k"_s, value}}));
        ASSERT_TRUE(decoded);
        EXPECT_EQ(decoded->value(0).second, value);
    }
}

TEST(OAuthEncoding, PkceUsesS256OfAFreshBase64UrlVerifier)
{
    // The published example pair of the PKCE standard.
    EXPECT_EQ(OAuthEncoding::codeChallenge(u"dBjftJeZ4CVP-mB92K27uhbUJU1p1r_wW1gFWFOEjXk"_s),
              u"E9Melhoa2OwvFrEMTJguCHaoeK1t8URWbuGJSstw-cM"_s);
    const QRegularExpression base64url(u"^[A-Za-z0-9_-]{43}$"_s);
    QSet<QString> seen;
    for (int i = 0; i < 50; ++i) {
        const QString verifier = OAuthEncoding::newCodeVerifier();
        EXPECT_TRUE(base64url.match(verifier).hasMatch()) << verifier.toStdString();
        seen.insert(verifier);
    }
    EXPECT_EQ(seen.size(), 50);
}

TEST(OAuthEncoding, StateIsAnUpperCaseVersion4Uuid)
{
    const QRegularExpression uuid(u"^[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}$"_s);
    const QString first = OAuthEncoding::newState();
    EXPECT_TRUE(uuid.match(first).hasMatch()) << first.toStdString();
    EXPECT_NE(first, OAuthEncoding::newState());
}

TEST(OAuthEncoding, HtmlEscapingLeavesNoMarkup)
{
    EXPECT_EQ(OAuthEncoding::htmlEscape(u"<script>alert(\"x\" & 'y')</script>"_s),
              u"&lt;script&gt;alert(&quot;x&quot; &amp; &#39;y&#39;)&lt;/script&gt;"_s);
}

} // namespace
} // namespace ebbcast
