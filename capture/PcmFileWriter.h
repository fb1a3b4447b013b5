#pragma once

#include "capture/AudioInputBuffer.h"
#include "capture/AudioInputFormat.h"

#include <QString>

#include <functional>
#include <memory>

namespace ebbcast {

// An audio file being written with the input's own format, buffer by buffer, without conversion.
// Closing happens when the object is destroyed. Used from one thread at a time.
class PcmFileWriter {
public:
    virtual ~PcmFileWriter() = default;

    // Throws FileError; a failed write loses only that buffer.
    virtual void write(const AudioInputBuffer& buffer) = 0;
    virtual const QString& path() const = 0;
};

// Opens a writer at a path for a format; throws FileError when the file cannot be created.
using PcmFileWriterFactory =
    std::function<std::unique_ptr<PcmFileWriter>(const QString& path, const AudioInputFormat& format)>;

} // namespace ebbcast
