#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

namespace ebbcast {

// Writes one flat JSON object with its members in the order they are added, compact, in UTF-8. Strings are
// escaped minimally ('"', '\\' and control characters; "/" stays as it is). Optional members that are absent
// are left out. Non-finite numbers cannot be written and make the object invalid (see isValid).
class OrderedJsonWriter {
public:
    void add(const char* key, const QString& value);
    void add(const char* key, qint64 value);
    void add(const char* key, double value);
    void add(const char* key, const std::optional<QString>& value);
    void add(const char* key, const std::optional<qint64>& value);
    void add(const char* key, const std::optional<double>& value);

    bool isValid() const noexcept { return valid_; }
    // The finished object ("{...}").
    QByteArray finish() const;

    static QByteArray quoted(const QString& text);

private:
    void beginMember(const char* key);

    QByteArray body_;
    bool valid_ = true;
};

} // namespace ebbcast
