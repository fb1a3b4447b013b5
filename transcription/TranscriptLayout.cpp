#include "transcription/TranscriptLayout.h"

#include "core/base/Iso8601.h"
#include "core/documents/Timecode.h"

#include <QStringList>

#include <algorithm>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

QString code(const QString& text)
{
    return u'`' + text + u'`';
}

QString fileName(const QString& path)
{
    return path.mid(path.lastIndexOf(u'/') + 1);
}

} // namespace

QString TranscriptLayout::sessionBrief(const TranscriptAssembly& assembly)
{
    QString text = u"# Session Brief\n\n"_s;
    text += u"- Recording: "_s + Iso8601::format(assembly.sessionStartTime) + u" to "_s +
            (assembly.sessionEndTime ? Iso8601::format(*assembly.sessionEndTime) : u"incomplete"_s) + u'\n';
    if (assembly.sessionDuration)
        text += u"- Duration: "_s + timecode(*assembly.sessionDuration) + u'\n';
    text += u"- Session ID: "_s + code(assembly.sessionID) + u"\n- Thread key: "_s +
            code(assembly.threadKey) + u'\n';
    if (assembly.collectionID)
        text += u"- Collection ID: "_s + code(*assembly.collectionID) + u'\n';
    text += u"- Status: **"_s + assembly.status() + u"**\n- Canonical source chunks: "_s +
            QString::number(assembly.entries.size()) + u"\n- Generated: "_s +
            Iso8601::format(assembly.generatedAt) + u"\n\n"_s;
    text +=
        u"## Reading Notes\n\nEbbcast provides these files as a human-facing convenience view. "
        u"Gateway/Glossen artifacts remain canonical. Microphone and system tracks can overlap and are not "
        u"semantically deduplicated; repeated speech may appear until a later diarization or "
        u"summarization layer is applied.\n"_s;
    if (assembly.failedCount > 0)
        text += u"\n**Caveat:** "_s + QString::number(assembly.failedCount) +
                u" chunk(s) failed or returned no transcript, so this session is incomplete.\n"_s;
    if (assembly.emptyCount > 0)
        text += u"\n**Caveat:** "_s + QString::number(assembly.emptyCount) +
                u" source chunk(s) completed with empty transcript text; non-empty source chunks remain "
                u"available below.\n"_s;
    if (assembly.withTextCount == 0)
        text += u"\n**Caveat:** No non-empty transcript text was available from chunk metadata or local "
                u"transcript files.\n"_s;
    return text;
}

QString TranscriptLayout::cleanTranscript(const TranscriptAssembly& assembly)
{
    QString text = u"# Clean Transcript\n\n"_s;
    text += u"Session "_s + code(assembly.sessionID) + u" | "_s + Iso8601::format(assembly.sessionStartTime) +
            u"\n\n"_s;
    text += u"> Microphone and system tracks may overlap. This convenience transcript does not perform "
            u"semantic speaker deduplication.\n\n"_s;
    if (assembly.withTextCount == 0)
        return text + u"_No non-empty transcript text was returned._\n"_s;
    for (const TranscriptEntry& entry : assembly.entries) {
        if (!entry.text)
            continue;
        text += u"## "_s + startTimecode(entry.chunk) + u'-' + endTimecode(entry.chunk) + u" | "_s +
                trackLabel(entry.chunk.kind) + u"\n\n"_s + *entry.text + u"\n\n"_s;
    }
    return text;
}

QString TranscriptLayout::rawTranscript(const TranscriptAssembly& assembly)
{
    QString text = u"# Raw Transcript\n\nCanonical transcript text grouped by source chunk for audit. No "
                   u"deduplication or rewriting has been applied.\n\n"_s;
    for (const TranscriptEntry& entry : assembly.entries) {
        const RecordingChunkMetadata& chunk = entry.chunk;
        const QString body = entry.text.value_or(QString());
        const QString fence = codeFence(body);
        text += u"## Sequence "_s + QString::number(chunk.index) + u" | "_s + trackLabel(chunk.kind) +
                u" | "_s + code(fileName(chunk.filePath)) + u"\n\n"_s;
        text += u"- Collection time: "_s + Iso8601::format(chunk.startTime) + u" to "_s +
                Iso8601::format(chunk.endTime) + u'\n';
        text += u"- Timecode: "_s + chunk.timecodeStart.value_or(u"unknown"_s) + u" to "_s +
                chunk.timecodeEnd.value_or(u"unknown"_s) + u'\n';
        text += u"- Status: "_s + code(chunk.transcriptionStatus.value_or(u"unknown"_s)) + u'\n';
        text += u'\n' + fence + u"text\n"_s + body + u'\n' + fence + u"\n\n"_s;
    }
    return text;
}

QString TranscriptLayout::plainText(const TranscriptAssembly& assembly)
{
    QStringList lines;
    for (const TranscriptEntry& entry : assembly.entries) {
        if (entry.text)
            lines.append(u'[' + startTimecode(entry.chunk) + u"] ["_s + trackLabel(entry.chunk.kind) +
                         u"] "_s + *entry.text);
    }
    return lines.join(u"\n\n"_s);
}

QString TranscriptLayout::trackLabel(const QString& kind)
{
    const QString lower = kind.toLower();
    if (lower == u"mic"_s || lower == u"microphone"_s)
        return u"Microphone"_s;
    if (lower == u"system"_s || lower == u"system_audio"_s)
        return u"System Audio"_s;
    QStringList words = QString(lower).replace(u'_', u' ').split(u' ');
    for (QString& word : words) {
        if (!word.isEmpty())
            word = word.left(1).toUpper() + word.mid(1);
    }
    return words.join(u' ');
}

QString TranscriptLayout::startTimecode(const RecordingChunkMetadata& chunk)
{
    if (chunk.timecodeStart)
        return *chunk.timecodeStart;
    return timecode(chunk.startOffsetSeconds.value_or(0.0));
}

QString TranscriptLayout::endTimecode(const RecordingChunkMetadata& chunk)
{
    if (chunk.timecodeEnd)
        return *chunk.timecodeEnd;
    if (chunk.endOffsetSeconds)
        return timecode(*chunk.endOffsetSeconds);
    return timecode(chunk.duration);
}

QString TranscriptLayout::codeFence(const QString& text)
{
    qsizetype longest = 0;
    qsizetype run = 0;
    for (const QChar c : text) {
        run = c == u'`' ? run + 1 : 0;
        longest = std::max(longest, run);
    }
    return QString(std::max<qsizetype>(3, longest + 1), u'`');
}

} // namespace ebbcast
