#pragma once

#include <QString>

#include <cstdint>

namespace ebbcast {

// Makes the sizes in a WAV (or RF64) header match the audio the file really holds, as after a crash that
// cut the recording short: the RIFF size, the data chunk size (whole frames up to the end of the file), the
// fact chunk's frame count and, for RF64, the ds64 sizes. Audio bytes are never touched.
//
// A RIFF file whose audio outgrew 4 GiB becomes RF64 in the layout WavFileWriter's library uses itself once
// a file passes 4 GiB: a ds64 chunk of 28 bytes where the header reserved its JUNK chunk, the other header
// chunks (the format chunk) moved up behind it, and a "PAD " chunk in the room the fact chunk and the rest of
// the reserved space leave, so the data chunk stays where it was. The writer reserves a JUNK chunk of only
// 24 bytes, too few for a ds64 chunk in place, which this layout makes up for. A header without room for it
// keeps RIFF sizes clamped at 4 GiB.
class WavHeaderRepair {
public:
    struct Result {
        bool changed = false;         // the header was rewritten
        std::uint64_t dataBytes = 0;  // audio bytes the repaired header covers
        std::uint32_t blockAlign = 0; // bytes per frame
        std::uint32_t sampleRate = 0; // frames per second

        // The audio the repaired header covers; 0 without a sample rate.
        double seconds() const;
    };

    // The file is only read unless its header has to change. Throws FileError: Code::readFailed when the file
    // cannot be read or is not a WAV file with a data chunk, Code::writeFailed when a header that needs
    // changing cannot be written (a read-only file or file system).
    static Result repair(const QString& path);
};

} // namespace ebbcast
