#pragma once

#include <QByteArray>
#include <QString>

namespace ebbcast {

// Appends `text` as a JSON string in UTF-8: quotes, backslashes and control characters escaped (the short
// forms where JSON has them, else \u00XX). The stored documents also escape every "/" as "\/"; wire bodies
// whose readers expect it plain leave it.
enum class SlashEscaping { escaped, plain };
void appendJsonString(QByteArray& out, const QString& text, SlashEscaping slashes);

} // namespace ebbcast
