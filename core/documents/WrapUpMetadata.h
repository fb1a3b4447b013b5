#pragma once

#include <QDateTime>
#include <QJsonObject>
#include <QJsonValue>
#include <QString>

#include <optional>

namespace ebbcast {

// The document beside a wrap-up note's movie: when it was recorded and where the movie is.
struct WrapUpMetadata {
    QDateTime startTime; // when the recording was asked to start
    QDateTime endTime;   // when the recording finished
    double duration = 0; // seconds, end less start
    QString filePath;    // the movie, absolute
    QString note;        // always noteText

    static const QString noteText;

    // The document for the movie at `moviePath`, recorded from `start` to `end`.
    static WrapUpMetadata forMovie(const QString& moviePath, const QDateTime& start, const QDateTime& end);
    // The document's path beside its movie: "wrap_up.mov" → "wrap_up_metadata.json", "wrap_up_N.mov" →
    // "wrap_up_N_metadata.json" (a second note never overwrites the first one's document).
    static QString pathFor(const QString& moviePath);

    static std::optional<WrapUpMetadata> fromJson(const QJsonValue& json);
    QJsonObject toJson() const;

    bool operator==(const WrapUpMetadata&) const = default;
};

} // namespace ebbcast
