#pragma once

#include "core/json/JsonValueCodec.h"

#include <QLatin1StringView>

namespace ebbcast {

// Builds the JSON object of a document type; optional members without a value are left out, never null.
class JsonObjectWriter {
public:
    template <typename T>
    JsonObjectWriter& set(QLatin1StringView key, const T& value)
    {
        object_.insert(key, encodeJson(value));
        return *this;
    }

    template <typename T>
    JsonObjectWriter& set(QLatin1StringView key, const std::optional<T>& value)
    {
        if (value)
            object_.insert(key, encodeJson(*value));
        return *this;
    }

    // A document type's member list, as the reader takes it.
    template <typename T>
    JsonObjectWriter& operator()(QLatin1StringView key, const T& value)
    {
        return set(key, value);
    }

    QJsonObject object() const { return object_; }

private:
    QJsonObject object_;
};

} // namespace ebbcast
