#include "transcription/ServerErrorText.h"

#include <QStringDecoder>
#include <QStringList>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

// Drops a UTF-8 sequence that the cut left incomplete at the end.
void dropIncompleteTail(QByteArray& bytes)
{
    const qsizetype end = bytes.size();
    for (qsizetype i = end - 1; i >= 0 && i >= end - 4; --i) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        if ((c & 0xC0) == 0x80)
            continue; // a continuation byte: look further back for the lead byte
        const qsizetype length = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
        if (i + length > end)
            bytes.truncate(i);
        return;
    }
}

// The forms a token may take when a server echoes it back: as sent, and inside a JSON string.
QStringList echoesOf(const QString& token)
{
    QStringList forms{token};
    QString escaped = token;
    escaped.replace(u"\\"_s, u"\\\\"_s).replace(u"\""_s, u"\\\""_s);
    if (escaped != token)
        forms.append(escaped);
    QString slashes = escaped;
    slashes.replace(u"/"_s, u"\\/"_s);
    if (slashes != escaped)
        forms.append(slashes);
    return forms;
}

} // namespace

QString ServerErrorText::from(QByteArray body, bool truncated, const QString& token)
{
    if (truncated)
        dropIncompleteTail(body);
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = decoder.decode(body);
    if (decoder.hasError())
        return u"unknown error"_s;
    if (!token.isEmpty()) {
        for (const QString& form : echoesOf(token))
            text.replace(form, u"[redacted]"_s);
    }

    QString result;
    qsizetype characters = 0;
    for (qsizetype i = 0; i < text.size() && characters < maximumCharacters; ++characters) {
        const char32_t code =
            text.at(i).isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate()
                ? QChar::surrogateToUcs4(text.at(i), text.at(i + 1))
                : text.at(i).unicode();
        const qsizetype units = code > 0xFFFF ? 2 : 1;
        const QChar::Category category = QChar::category(code);
        if (category == QChar::Other_Control || category == QChar::Separator_Line ||
            category == QChar::Separator_Paragraph)
            result += u' ';
        else
            result += QStringView(text).mid(i, units);
        i += units;
    }
    return result;
}

} // namespace ebbcast
