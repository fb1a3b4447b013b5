#include "core/settings/RecordingAudioFormat.h"

using namespace Qt::StringLiterals;

namespace ebbcast {

std::optional<RecordingAudioFormat> RecordingAudioFormat::fromRawValue(QStringView rawValue)
{
    if (rawValue == u"m4a")
        return RecordingAudioFormat(m4a);
    if (rawValue == u"wav")
        return RecordingAudioFormat(wav);
    return std::nullopt;
}

QString RecordingAudioFormat::rawValue() const
{
    return value_ == wav ? u"wav"_s : u"m4a"_s;
}

QList<RecordingAudioFormat> RecordingAudioFormat::allCases()
{
    return {RecordingAudioFormat(m4a), RecordingAudioFormat(wav)};
}

QString RecordingAudioFormat::microphoneFileName()
{
    return u"microphone.wav"_s;
}

QString RecordingAudioFormat::systemAudioFileName()
{
    return u"system_audio.m4a"_s;
}

} // namespace ebbcast
