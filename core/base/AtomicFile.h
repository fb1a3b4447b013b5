#pragma once

#include <QByteArray>
#include <QFileDevice>
#include <QString>

#include <optional>

namespace ebbcast {

// Replaces a file whole: the bytes go to a hidden temporary file in the same folder, are synced to disk and
// the temporary file is renamed over the old one, so a reader or a crash sees either the old or the new
// content. A symbolic link is written through: the file it points to is replaced and the link stays.
class AtomicFile {
public:
    // Throws FileError when any step fails (a full disk, a folder that is missing or not writable, a
    // read-only target); the old file then stays byte for byte and no temporary file is left behind.
    // With `permissions` the file gets exactly those; without, a new file gets the default mode
    // (0666 less the umask) and an existing one keeps its own.
    static void write(const QString& path, const QByteArray& bytes,
                      std::optional<QFileDevice::Permissions> permissions = std::nullopt);
};

} // namespace ebbcast
