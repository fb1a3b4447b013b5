#pragma once

#include "core/documents/RecordingChunkMetadata.h"
#include "transcription/TranscriptAssembly.h"

#include <QString>

namespace ebbcast {

// The texts of the final transcript set: the three Markdown documents and the plain transcript. Chunks
// appear in the assembly's order; texts are shown as resolved, never rewritten.
class TranscriptLayout {
public:
    // "00 Session Brief.md": the session's values, the reading notes and a caveat per kind of gap.
    static QString sessionBrief(const TranscriptAssembly& assembly);
    // "01 Clean Transcript.md": one section per chunk with text.
    static QString cleanTranscript(const TranscriptAssembly& assembly);
    // "03 Raw Transcript.md": one section per chunk, with or without text, each text in a fenced block
    // whose fence is longer than any run of backquotes in the text.
    static QString rawTranscript(const TranscriptAssembly& assembly);
    // "[start] [track] text" per chunk with text, separated by a blank line, no final line break.
    static QString plainText(const TranscriptAssembly& assembly);

    // "Microphone", "System Audio", or the kind with "_" as spaces and each word capitalised.
    static QString trackLabel(const QString& kind);
    // The stored "timecode_start", else the timecode of the start offset (0 without one).
    static QString startTimecode(const RecordingChunkMetadata& chunk);
    // The stored "timecode_end", else the timecode of the end offset, else of the duration.
    static QString endTimecode(const RecordingChunkMetadata& chunk);
    // Three backquotes, or one more than the longest run of backquotes in `text`.
    static QString codeFence(const QString& text);
};

} // namespace ebbcast
