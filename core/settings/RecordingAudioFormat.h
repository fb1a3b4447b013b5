#pragma once

#include <QList>
#include <QMetaType>
#include <QObject>
#include <QString>
#include <QStringView>

#include <optional>

namespace ebbcast {

// The audio file format offered in the preferences. The recorded file names do not depend on it.
class RecordingAudioFormat {
    Q_GADGET

public:
    enum Case { m4a, wav };
    Q_ENUM(Case)

    constexpr RecordingAudioFormat(Case value = m4a) noexcept
        : value_(value)
    {}

    // Only "m4a" and "wav" name a format.
    static std::optional<RecordingAudioFormat> fromRawValue(QStringView rawValue);

    Case value() const noexcept { return value_; }
    QString rawValue() const;
    QString id() const { return rawValue(); }
    static QList<RecordingAudioFormat> allCases();

    static QString microphoneFileName();
    static QString systemAudioFileName();

    bool operator==(const RecordingAudioFormat&) const = default;

private:
    Case value_;
};

} // namespace ebbcast

Q_DECLARE_METATYPE(ebbcast::RecordingAudioFormat)
