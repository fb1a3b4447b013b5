#include "transcription/ServerErrorText.h"

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

TEST(ServerErrorTextTest, BodiesBecomeSafeOneLineMessages)
{
    const QString token = u"tok/en\"42"_s;
    struct Case {
        const char* name;
        QByteArray body;
        bool truncated;
        QString expected;
    };
    const QString emoji = u"\U0001F600"_s;
    const Case cases[] = {
        {"plain text stays exact", "Quota exceeded for recorder r-1.", false,
         u"Quota exceeded for recorder r-1."_s},
        {"empty", "", false, u""_s},
        {"json stays as sent", R"({"detail": "bad"})", false, u"{\"detail\": \"bad\"}"_s},
        {"invalid UTF-8", "bad \xc3\x28 byte", false, u"unknown error"_s},
        {"overlong encoding", "\xc0\xaf", false, u"unknown error"_s},
        {"encoded surrogate", "\xed\xa0\x80", false, u"unknown error"_s},
        {"controls become spaces",
         "a\nb\r\nc\td\x01\x7f"
         "e",
         false, u"a b  c d  e"_s},
        {"C1 and line separators too", "x\xc2\x85y\xe2\x80\xa8z", false, u"x y z"_s},
        {"non-ASCII text kept", "Fehler: Ü", false, u"Fehler: Ü"_s},
        {"echoed token", "token tok/en\"42 refused; Bearer tok/en\"42", false,
         u"token [redacted] refused; Bearer [redacted]"_s},
        {"token inside JSON", R"({"auth":"Bearer tok\/en\"42"})", false,
         u"{\"auth\":\"Bearer [redacted]\"}"_s},
        {"cut inside a UTF-8 sequence", "abc \xc3", true, u"abc "_s},
        {"cut inside a four-byte sequence", "abc \xf0\x9f\x98", true, u"abc "_s},
        {"not cut: the same bytes are invalid", "abc \xc3", false, u"unknown error"_s},
        {"long", QByteArray(600, 'x'), false, QString(500, u'x')},
        {"long with characters outside the BMP", QByteArray(499, 'x') + emoji.toUtf8() + emoji.toUtf8(),
         false, QString(499, u'x') + emoji},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ServerErrorText::from(c.body, c.truncated, token), c.expected) << c.name;
}

TEST(ServerErrorTextTest, ATokenAtTheCutIsNeverHalfShown)
{
    const QString token = u"0123456789abcdef"_s;
    const QByteArray body = QByteArray(495, '.') + token.toLatin1();
    const QString text = ServerErrorText::from(body, false, token);
    EXPECT_EQ(text.size(), 500);
    EXPECT_FALSE(text.contains(u"01234"_s));
}

} // namespace
} // namespace ebbcast
