#pragma once

#include "support/FakeHttpServer.h"

#include <QByteArray>
#include <QByteArrayMatcher>
#include <QCryptographicHash>
#include <QList>
#include <QStringList>

#include <utility>

namespace ebbcast::test {

// Reads a multipart body as it arrives, holding no more of it than each part's first `keepBytes`: every
// part's headers, size and SHA-256 are noted. Strict: the body must begin with the first delimiter (no
// preamble), each part's headers end with an empty line, and nothing may follow the closing delimiter's line
// break. What deviates is noted in problems(); reading stops at a deviation that leaves the rest unreadable.
class MultipartReader : public FakeHttpServer::BodySink {
public:
    struct Part {
        QList<std::pair<QByteArray, QByteArray>> headers; // as sent, in order
        QByteArray head;                                  // the content's first keepBytes
        qint64 size = 0;
        QByteArray sha256; // lower-case hex
    };

    explicit MultipartReader(QByteArray boundary, qsizetype keepBytes = 256 * 1024);

    void take(QByteArrayView bytes) override;

    const QByteArray& boundary() const { return boundary_; }
    const QList<Part>& parts() const { return parts_; }
    // Deviations so far; once the body has ended, call with `ended` to include a missing closing delimiter.
    QStringList problems(bool ended = true) const;
    bool closed() const { return state_ == State::epilogue; }

private:
    enum class State { opening, headers, content, afterDelimiter, closing, epilogue, stopped };

    void stop(const QString& problem);
    bool readHeaders();
    void readContent();
    void addContent(QByteArrayView bytes);
    void endPart();

    QByteArray boundary_;
    qsizetype keepBytes_;
    QByteArray delimiter_; // CRLF "--" boundary: ends a part's content
    QByteArrayMatcher matcher_;
    State state_ = State::opening;
    QByteArray pending_; // received, not yet consumed
    QList<Part> parts_;
    QCryptographicHash hash_{QCryptographicHash::Sha256};
    QStringList problems_;
};

} // namespace ebbcast::test
