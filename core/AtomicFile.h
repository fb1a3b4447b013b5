#pragma once

#include <QByteArray>
#include <QFileDevice>
#include <QString>

#include <optional>

namespace ebbcast {

// Replaces a file whole: the bytes go to a temporary file in the same folder, are flushed to disk and the
// temporary file is renamed over the old one, so a reader or a crash sees either the old or the new content.
class AtomicFile {
public:
    // Throws FileError. With `permissions` the file gets exactly those; without, a new file gets the
    // default mode and an existing one keeps its own.
    static void write(const QString& path, const QByteArray& bytes,
                      std::optional<QFileDevice::Permissions> permissions = std::nullopt);
};

} // namespace ebbcast
