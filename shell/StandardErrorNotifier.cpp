#include "shell/StandardErrorNotifier.h"

#include <cstdio>
#include <utility>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

QString oneLine(QString text)
{
    text.replace(u"\r\n"_s, u" "_s);
    text.replace(u'\n', u' ');
    text.replace(u'\r', u' ');
    return text;
}

void writeToStandardError(const QByteArray& line)
{
    std::fwrite(line.constData(), 1, static_cast<size_t>(line.size()), stderr);
    std::fflush(stderr);
}

} // namespace

StandardErrorNotifier::StandardErrorNotifier(LineWriter writeLine)
    : writeLine_(writeLine ? std::move(writeLine) : LineWriter(writeToStandardError))
{}

void StandardErrorNotifier::showNotification(const QString& title, const QString& body, Kind)
{
    writeLine_(u"Ebbcast: %1: %2\n"_s.arg(oneLine(title), oneLine(body)).toUtf8());
}

} // namespace ebbcast
