#include "core/json/JsonString.h"

namespace ebbcast {

void appendJsonString(QByteArray& out, const QString& text, SlashEscaping slashes)
{
    static constexpr char hex[] = "0123456789abcdef";
    const QByteArray utf8 = text.toUtf8();
    const char* const data = utf8.constData();
    const qsizetype size = utf8.size();
    // Runs of bytes that need no escape are appended whole; the output grows geometrically (an exact reserve
    // per string would copy the whole document again for every string).
    out.append('"');
    qsizetype run = 0;
    for (qsizetype index = 0; index < size; ++index) {
        const auto byte = static_cast<unsigned char>(data[index]);
        if (byte >= 0x20 && byte != '"' && byte != '\\' && (byte != '/' || slashes != SlashEscaping::escaped))
            continue;
        out.append(data + run, index - run);
        run = index + 1;
        switch (byte) {
        case '"':
            out.append("\\\"");
            break;
        case '\\':
            out.append("\\\\");
            break;
        case '/':
            out.append("\\/");
            break;
        case '\b':
            out.append("\\b");
            break;
        case '\f':
            out.append("\\f");
            break;
        case '\n':
            out.append("\\n");
            break;
        case '\r':
            out.append("\\r");
            break;
        case '\t':
            out.append("\\t");
            break;
        default:
            out.append("\\u00");
            out.append(hex[byte >> 4]);
            out.append(hex[byte & 0xf]);
        }
    }
    out.append(data + run, size - run);
    out.append('"');
}

} // namespace ebbcast
