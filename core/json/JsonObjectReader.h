#pragma once

#include "core/json/JsonValueCodec.h"

#include <QLatin1StringView>

namespace ebbcast {

// Reads the members of one JSON object into a document type. The first missing or mistyped required member,
// or a mistyped optional one, makes the whole read fail; members the type does not know are ignored.
class JsonObjectReader {
public:
    explicit JsonObjectReader(const QJsonValue& json)
        : ok_(json.isObject())
        , object_(json.toObject())
    {}

    template <typename T>
    JsonObjectReader& required(QLatin1StringView key, T& out)
    {
        if (ok_) {
            const QJsonValue json = object_.value(key);
            ok_ = !json.isUndefined() && decodeJson(json, out);
        }
        return *this;
    }

    // A missing or null member is no value.
    template <typename T>
    JsonObjectReader& optional(QLatin1StringView key, std::optional<T>& out)
    {
        if (!ok_)
            return *this;
        const QJsonValue json = object_.value(key);
        if (json.isUndefined() || json.isNull()) {
            out.reset();
            return *this;
        }
        T value{};
        ok_ = decodeJson(json, value);
        if (ok_)
            out = std::move(value);
        return *this;
    }

    // A document type's member list: an optional member is read as optional, any other as required.
    template <typename T>
    JsonObjectReader& operator()(QLatin1StringView key, T& out)
    {
        return required(key, out);
    }
    template <typename T>
    JsonObjectReader& operator()(QLatin1StringView key, std::optional<T>& out)
    {
        return optional(key, out);
    }

    bool ok() const noexcept { return ok_; }

    // The decoded value when every member read, nothing otherwise.
    template <typename T>
    std::optional<std::decay_t<T>> result(T&& value) const
    {
        if (!ok_)
            return std::nullopt;
        return std::optional<std::decay_t<T>>(std::forward<T>(value));
    }

private:
    bool ok_;
    QJsonObject object_;
};

} // namespace ebbcast
