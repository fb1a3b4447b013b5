#pragma once

#include <QString>
#include <QStringList>
#include <QTextStream>

namespace ebbcast {

// The `--transcribe` benchmark: loads the speech model from `modelDirectory` once, then decodes and
// recognises each file in turn on this thread. Per file, `out` gets one line with the text heard (empty for
// silence) and `err` a timing line: "FILE: audio 12.3 s, decode 0.10 s, recognize 2.10 s (cpu 2.00 s),
// real-time factor 0.163", the factor being the recognition's CPU seconds per second of audio. A file that
// cannot be decoded gets "FILE: REASON" on `err` and no text line. Returns 0 when every file was transcribed,
// 1 otherwise (the model missing included: "ebbcast-gateway: speech model not found in DIR" on `err`).
int transcribeFiles(const QStringList& files, const QString& modelDirectory, QTextStream& out,
                    QTextStream& err);

} // namespace ebbcast
