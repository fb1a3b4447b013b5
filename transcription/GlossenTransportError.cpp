#include "transcription/GlossenTransportError.h"

using namespace Qt::StringLiterals;

namespace ebbcast {

GlossenTransportError::GlossenTransportError(Code code, const QString& reason)
    : CodedError(code, u"Glossen Gateway transfer failed: "_s + reason)
    , reason_(reason)
{}

QString GlossenTransportError::durationText(qint64 milliseconds)
{
    if (milliseconds >= 60'000 && milliseconds % 60'000 == 0)
        return QString::number(milliseconds / 60'000) + u" min"_s;
    if (milliseconds >= 1000 && milliseconds % 1000 == 0)
        return QString::number(milliseconds / 1000) + u" s"_s;
    return QString::number(milliseconds) + u" ms"_s;
}

QString GlossenTransportError::sizeText(qint64 bytes)
{
    constexpr qint64 kib = 1024;
    if (bytes >= kib * kib && bytes % (kib * kib) == 0)
        return QString::number(bytes / (kib * kib)) + u" MiB"_s;
    if (bytes >= kib && bytes % kib == 0)
        return QString::number(bytes / kib) + u" KiB"_s;
    return QString::number(bytes) + (bytes == 1 ? u" byte"_s : u" bytes"_s);
}

} // namespace ebbcast
