#pragma once

#include <QString>

#include <cstdint>

namespace ebbcast {

// Makes the sizes in a WAV (or RF64) header match the audio the file really holds, as after a crash that
// cut the recording short: the RIFF size, the data chunk size (whole frames up to the end of the file), the
// fact chunk's frame count and, for RF64, the ds64 sizes. A RIFF file whose audio outgrew 4 GiB becomes RF64
// when it has the reserved JUNK chunk for that. Audio bytes are never touched.
class WavHeaderRepair {
public:
    struct Result {
        bool changed = false;         // the header was rewritten
        std::uint64_t dataBytes = 0;  // audio bytes the repaired header covers
        std::uint32_t blockAlign = 0; // bytes per frame
    };

    // Throws FileError when the file cannot be read or written, or is not a WAV file with a data chunk.
    static Result repair(const QString& path);
};

} // namespace ebbcast
