#include "support/MultipartReader.h"

#include <algorithm>

using namespace Qt::StringLiterals;

namespace ebbcast::test {
namespace {

constexpr qsizetype maxPartHeaderBytes = 16 * 1024;

QString shown(QByteArrayView bytes)
{
    QByteArray text = bytes.first(std::min<qsizetype>(bytes.size(), 40)).toByteArray();
    text.replace("\r", "\\r").replace("\n", "\\n");
    return QString::fromLatin1(text);
}

} // namespace

MultipartReader::MultipartReader(QByteArray boundary, qsizetype keepBytes)
    : boundary_(std::move(boundary))
    , keepBytes_(keepBytes)
    , delimiter_("\r\n--" + boundary_)
    , matcher_(delimiter_)
{}

void MultipartReader::take(QByteArrayView bytes)
{
    if (state_ == State::stopped)
        return;
    if (state_ == State::epilogue) {
        if (!bytes.isEmpty())
            stop(u"bytes after the closing delimiter: \"%1\""_s.arg(shown(bytes)));
        return;
    }
    pending_.append(bytes);
    for (;;) {
        switch (state_) {
        case State::opening: {
            const QByteArray opening = "--" + boundary_ + "\r\n";
            const qsizetype compared = std::min(opening.size(), pending_.size());
            if (pending_.left(compared) != opening.left(compared)) {
                stop(u"the body does not begin with \"--boundary\" and a line break: \"%1\""_s.arg(
                    shown(pending_)));
                return;
            }
            if (compared < opening.size())
                return;
            pending_.remove(0, opening.size());
            state_ = State::headers;
            break;
        }
        case State::headers:
            if (!readHeaders())
                return;
            break;
        case State::content:
            readContent();
            if (state_ == State::content)
                return;
            break;
        case State::afterDelimiter:
            if (pending_.size() < 2)
                return;
            if (pending_.startsWith("\r\n")) {
                state_ = State::headers;
            } else if (pending_.startsWith("--")) {
                state_ = State::closing;
            } else {
                stop(u"a delimiter followed by \"%1\""_s.arg(shown(pending_)));
                return;
            }
            pending_.remove(0, 2);
            break;
        case State::closing:
            if (pending_.size() < 2)
                return;
            if (!pending_.startsWith("\r\n")) {
                stop(u"the closing delimiter followed by \"%1\" instead of a line break"_s.arg(
                    shown(pending_)));
                return;
            }
            pending_.remove(0, 2);
            state_ = State::epilogue;
            if (!pending_.isEmpty())
                stop(u"bytes after the closing delimiter: \"%1\""_s.arg(shown(pending_)));
            pending_.clear();
            return;
        case State::epilogue:
        case State::stopped:
            return;
        }
    }
}

QStringList MultipartReader::problems(bool ended) const
{
    QStringList all = problems_;
    if (ended && state_ != State::epilogue && state_ != State::stopped)
        all.append(u"the body ends without the closing delimiter \"\\r\\n--boundary--\\r\\n\""_s);
    return all;
}

void MultipartReader::stop(const QString& problem)
{
    problems_.append(problem);
    state_ = State::stopped;
    pending_.clear();
}

bool MultipartReader::readHeaders()
{
    if (pending_.startsWith("\r\n")) {
        stop(u"a part without headers"_s);
        return false;
    }
    const qsizetype end = pending_.indexOf("\r\n\r\n");
    if (end < 0) {
        if (pending_.size() > maxPartHeaderBytes)
            stop(u"part headers over 16 KiB"_s);
        return false;
    }
    Part part;
    // Every line but the last still has the carriage return of its line break.
    const QList<QByteArray> lines = pending_.left(end).split('\n');
    for (qsizetype i = 0; i < lines.size(); ++i) {
        QByteArray line = lines[i];
        if (i + 1 < lines.size() && !line.endsWith('\r')) {
            stop(u"a part header line ending in a bare line feed"_s);
            return false;
        }
        if (i + 1 < lines.size())
            line.chop(1);
        const qsizetype colon = line.indexOf(':');
        if (colon <= 0 || line.mid(colon + 1, 1) != " " || line.contains('\r')) {
            stop(u"a part header line \"%1\""_s.arg(shown(line)));
            return false;
        }
        part.headers.append({line.left(colon), line.mid(colon + 2)});
    }
    parts_.append(part);
    hash_.reset();
    pending_.remove(0, end + 4);
    state_ = State::content;
    return true;
}

void MultipartReader::readContent()
{
    const qsizetype found = matcher_.indexIn(pending_);
    if (found >= 0) {
        addContent(QByteArrayView(pending_).first(found));
        pending_.remove(0, found + delimiter_.size());
        endPart();
        state_ = State::afterDelimiter;
        return;
    }
    // Whatever could still begin a delimiter stays for the next bytes.
    const qsizetype safe = pending_.size() - (delimiter_.size() - 1);
    if (safe > 0) {
        addContent(QByteArrayView(pending_).first(safe));
        pending_.remove(0, safe);
    }
}

void MultipartReader::addContent(QByteArrayView bytes)
{
    Part& part = parts_.last();
    part.size += bytes.size();
    if (part.head.size() < keepBytes_)
        part.head.append(bytes.first(std::min(bytes.size(), keepBytes_ - part.head.size())));
    hash_.addData(bytes);
}

void MultipartReader::endPart()
{
    parts_.last().sha256 = hash_.result().toHex();
}

} // namespace ebbcast::test
