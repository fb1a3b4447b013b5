#pragma once

#include <QJsonObject>
#include <QJsonValue>
#include <QString>

#include <functional>

namespace ebbcast {

class Logger;

// The per-user settings document: one JSON object of typed values, mode 0600.
// Each change rewrites only its own key: a read-modify-write under an advisory lock on "<file>.lock",
// ending in an atomic replace, so processes or threads that change different keys lose nothing.
// A document that is not a JSON object is copied aside as "<file>.corrupt-<UTC time>" before the first
// change replaces it (an entry that is not a regular file, such as a FIFO, is moved aside instead).
// A null member is no stored value: it loads as absent and a change drops it. A number JSON parsing refuses
// (1e309) reads as null, so only its key falls back to the default and the rest of the document loads.
class SettingsFile {
public:
    SettingsFile(QString path, Logger& logger);

    const QString& path() const noexcept { return path_; }

    // Every stored value. A missing file has none; an unreadable one has none and leaves one error log line,
    // as do keys whose numbers were out of range (only their names are logged).
    QJsonObject load() const;

    // Throw FileError or DocumentError; the file is unchanged on failure.
    void setValue(const QString& key, const QJsonValue& value);
    void removeValue(const QString& key);

private:
    void change(const std::function<void(QJsonObject&)>& edit);
    void keepCorruptCopy() const;

    QString path_;
    Logger& logger_;
};

} // namespace ebbcast
