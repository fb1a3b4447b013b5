#include "gateway/SpokenSentences.h"

#include <QFile>
#include <QProcess>
#include <QRegularExpression>

#include <stdexcept>

using namespace Qt::StringLiterals;

namespace ebbcast::test {

SpokenSentences SpokenSentences::load()
{
    QFile file(QStringLiteral(EBBCAST_SPEECH_SENTENCES));
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        throw std::runtime_error("the sentences cannot be read: " + file.errorString().toStdString());
    static const QRegularExpression header(u"^# voice (\\S+) rate (\\d+); wer-threshold ([0-9.]+)$"_s);
    SpokenSentences spoken;
    while (!file.atEnd()) {
        const QString line = QString::fromUtf8(file.readLine()).trimmed();
        if (const QRegularExpressionMatch match = header.match(line); match.hasMatch()) {
            spoken.voice = match.captured(1);
            spoken.rate = match.captured(2).toInt();
            spoken.errorThreshold = match.captured(3).toDouble();
        } else if (!line.isEmpty() && !line.startsWith(u'#')) {
            spoken.sentences.append(line);
        }
    }
    if (spoken.voice.isEmpty() || spoken.sentences.isEmpty())
        throw std::runtime_error("the sentences file has no \"# voice\" line or no sentences");
    return spoken;
}

QString SpokenSentences::speak(const QString& folder, const QString& name, const QString& text,
                               Form form) const
{
    const QString spoken = folder + u'/' + name + ".wav"_L1;
    if (!QFile::exists(spoken))
        runTool(u"espeak-ng"_s, {u"-v"_s, voice, u"-s"_s, QString::number(rate), u"-w"_s, spoken, text});
    QString converted;
    switch (form) {
    case Form::pcm16k:
        converted = folder + u'/' + name + ".16k.wav"_L1;
        runTool(u"sox"_s,
                {u"-R"_s, spoken, u"-r"_s, u"16000"_s, u"-c"_s, u"1"_s, u"-b"_s, u"16"_s, converted});
        break;
    case Form::microphoneWav:
        converted = folder + u'/' + name + ".mic.wav"_L1;
        runTool(u"sox"_s, {u"-R"_s, spoken, u"-r"_s, u"48000"_s, u"-e"_s, u"floating-point"_s, u"-b"_s,
                           u"32"_s, converted});
        break;
    case Form::systemM4a:
        converted = folder + u'/' + name + ".m4a"_L1;
        runTool(u"ffmpeg"_s, {u"-nostdin"_s, u"-v"_s, u"error"_s, u"-i"_s, spoken, u"-ar"_s, u"48000"_s,
                              u"-c:a"_s, u"aac"_s, u"-b:a"_s, u"128k"_s, converted});
        break;
    }
    return converted;
}

QByteArray runTool(const QString& program, const QStringList& arguments)
{
    QProcess process;
    process.start(program, arguments);
    if (!process.waitForFinished(60'000) || process.exitStatus() != QProcess::NormalExit ||
        process.exitCode() != 0) {
        process.kill();
        process.waitForFinished();
        throw std::runtime_error(
            u"%1 failed: %2 %3"_s
                .arg(program, process.errorString(), QString::fromLocal8Bit(process.readAllStandardError()))
                .toStdString());
    }
    return process.readAllStandardOutput();
}

} // namespace ebbcast::test
