#include "core/json/DocumentEncoder.h"

#include "core/SampleDocuments.h"
#include "core/json/DocumentError.h"
#include "core/json/JsonString.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cmath>
#include <limits>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

std::string encoded(const QJsonObject& object)
{
    return DocumentEncoder::encode(object).toStdString();
}

TEST(DocumentEncoder, WritesTwoSpaceIndentationWithSpacedColonsAndATrailingNewline)
{
    QJsonObject inner{{u"b"_s, 1}, {u"a"_s, QJsonArray{u"x"_s, true}}};
    QJsonObject document{{u"outer"_s, inner}, {u"empty"_s, QJsonArray{}}, {u"none"_s, QJsonObject{}}};
    EXPECT_EQ(encoded(document), "{\n"
                                 "  \"empty\" : [],\n"
                                 "  \"none\" : {},\n"
                                 "  \"outer\" : {\n"
                                 "    \"a\" : [\n"
                                 "      \"x\",\n"
                                 "      true\n"
                                 "    ],\n"
                                 "    \"b\" : 1\n"
                                 "  }\n"
                                 "}\n");
}

TEST(DocumentEncoder, SortsKeysInUtf8ByteOrderAtEveryLevel)
{
    // U+FF5E sorts before U+1F600 in UTF-16 code units but after it in UTF-8 bytes... and vice versa:
    // UTF-16 puts the surrogate pair (0xD83D) before 0xFF5E, UTF-8 puts F0 9F after EF BD.
    const QString fullwidth = u"\uFF5E"_s;
    const QString emoji = u"\U0001F600"_s;
    QJsonObject nested{{emoji, 1}, {fullwidth, 2}, {u"Z"_s, 3}, {u"a"_s, 4}};
    QJsonObject document{{u"b"_s, nested}, {u"B"_s, 0}, {u"_"_s, 0}};
    const std::string text = encoded(document);
    EXPECT_LT(text.find("\"B\""), text.find("\"_\""));
    EXPECT_LT(text.find("\"_\""), text.find("\"b\""));
    EXPECT_LT(text.find("\"Z\""), text.find("\"a\""));
    EXPECT_LT(text.find(fullwidth.toStdString()), text.find(emoji.toStdString()));
}

TEST(DocumentEncoder, EscapesEverySlashAndControlCharacter)
{
    QJsonObject document{{u"path"_s, u"/a/b\\c\"d\n\t\u0001\u00e9"_s}};
    EXPECT_EQ(encoded(document), "{\n  \"path\" : \"\\/a\\/b\\\\c\\\"d\\n\\t\\u0001\xc3\xa9\"\n}\n");
}

TEST(DocumentEncoder, EveryCharacterRoundTripsInBothSlashModes)
{
    QString text;
    for (char16_t code = 0; code < 0x80; ++code)
        text += QChar(code);
    text += u"/é/漢字/😀/\u2028/"_s + text; // escapes at the edges of plain runs, and after multi-byte ones
    for (const SlashEscaping slashes : {SlashEscaping::escaped, SlashEscaping::plain}) {
        QByteArray json = "[";
        appendJsonString(json, text, slashes);
        json += ',';
        appendJsonString(json, QString(), slashes);
        json += ']';
        const QJsonArray parsed = QJsonDocument::fromJson(json).array();
        ASSERT_EQ(parsed.size(), 2);
        EXPECT_EQ(parsed.at(0).toString(), text);
        EXPECT_EQ(parsed.at(1).toString(), QString());
        EXPECT_EQ(json.contains("\\/"), slashes == SlashEscaping::escaped);
        EXPECT_EQ(nlohmann::json::parse(json.toStdString()).at(0).get<std::string>(), text.toStdString());
    }
}

TEST(DocumentEncoder, WritesNumbersInShortestRoundTripForm)
{
    struct Case {
        double value;
        const char* text;
    };
    const Case cases[] = {{0.025, "0.025"},
                          {300.0, "300"},
                          {0.1, "0.1"},
                          {-12.75, "-12.75"},
                          {1e21, "1e+21"},
                          {3600.25, "3600.25"},
                          {1.0 / 3, "0.3333333333333333"},
                          {5e-324, "5e-324"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(encoded(QJsonObject{{u"n"_s, c.value}}), std::string("{\n  \"n\" : ") + c.text + "\n}\n");
    }
}

TEST(DocumentEncoder, RefusesValuesJsonCannotCarry)
{
    for (const double value : {std::nan(""), std::numeric_limits<double>::infinity()}) {
        try {
            DocumentEncoder::encode(QJsonObject{{u"n"_s, QJsonArray{value}}});
            ADD_FAILURE() << "encoded a non-finite number";
        } catch (const DocumentError& error) {
            EXPECT_EQ(error.code(), DocumentError::Code::nonFiniteNumber);
        }
    }
    EXPECT_THROW(DocumentEncoder::encode(QJsonObject{{u"n"_s, QJsonValue::Null}}), DocumentError);
}

// Walks a document parsed by an independent parser, in file order, checking the stored-document rules.
void expectStoredDocumentRules(const nlohmann::ordered_json& value, const std::string& where)
{
    static const QRegularExpression fractionalDate(u"^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d+"_s);
    ASSERT_FALSE(value.is_null()) << "null at " << where;
    if (value.is_object()) {
        std::string previous;
        for (const auto& [key, member] : value.items()) {
            EXPECT_LT(previous, key) << "keys out of byte order at " << where;
            previous = key;
            expectStoredDocumentRules(member, where + "/" + key);
        }
    } else if (value.is_array()) {
        for (size_t i = 0; i < value.size(); ++i)
            expectStoredDocumentRules(value[i], where + "/" + std::to_string(i));
    } else if (value.is_string()) {
        EXPECT_FALSE(fractionalDate.match(QString::fromStdString(value.get<std::string>())).hasMatch())
            << "date with fractional seconds at " << where;
    }
}

TEST(DocumentEncoder, CompleteSessionDocumentReadsBackIdenticallyInQtAndAnIndependentParser)
{
    const SessionMetadata session = test::completeSession();
    const QByteArray bytes = DocumentEncoder::encode(session.toJson());

    EXPECT_FALSE(bytes.contains("null"));
    EXPECT_FALSE(bytes.contains("\"/")) << "an unescaped slash starts a path";
    EXPECT_TRUE(
        bytes.contains(R"("metadata" : "\/home\/ada\/Movies\/Tavilon\/2026-12-06_09-15-02\/metadata.json")"));

    const auto independent = nlohmann::ordered_json::parse(bytes.constData());
    expectStoredDocumentRules(independent, "");
    EXPECT_EQ(independent["file_paths"]["screen"], "/home/ada/Movies/Tavilon/2026-12-06_09-15-02/screen.mov");
    EXPECT_EQ(independent["start_time"], "2026-12-06T08:15:02Z");
    EXPECT_EQ(independent["system_audio_capture"]["last_level"].get<double>(), 0.1);
    EXPECT_EQ(independent["live_chunks"][0]["transcript_artifact_size_bytes"].get<int64_t>(),
              9007199254740993LL);
    EXPECT_EQ(independent["display"]["id"].get<uint64_t>(), 4294967295U);

    const auto decoded = SessionMetadata::fromJson(QJsonDocument::fromJson(bytes).object());
    ASSERT_TRUE(decoded.has_value());
    EXPECT_EQ(*decoded, session);
    EXPECT_EQ(DocumentEncoder::encode(decoded->toJson()), bytes) << "a second round trip changed the bytes";
}

} // namespace
} // namespace ebbcast
