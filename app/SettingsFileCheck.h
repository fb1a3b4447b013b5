#pragma once

#include "core/json/JsonDocumentFile.h"

#include <QString>
#include <QStringList>

namespace ebbcast {

// What is wrong with the settings file as stored, in words for standard error: a document that cannot be
// read, numbers out of range, values of the wrong kind for their setting. The settings store falls back to
// the defaults for these and writes its own log lines; this tells the person at the terminal once. Keys are
// named, values never (a value may be a secret).
class SettingsFileCheck {
public:
    // Reads the file the way the settings store does, without logging.
    static QStringList problems(const QString& path);
    static QStringList problems(const QString& path, const JsonDocumentFile::ReadResult& stored);
};

} // namespace ebbcast
