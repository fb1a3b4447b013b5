#pragma once

#include <QString>
#include <QStringList>

namespace ebbcast::test {

// How far a recognised text is from what was said, counted in words.
class WordErrorRate {
public:
    // The words of a text as they are compared: lower case, punctuation (apostrophes included) removed.
    static QStringList words(const QString& text);

    // The fewest words substituted, deleted and inserted to turn `heard` into `said`.
    static int errors(const QString& said, const QString& heard);

    // Adds one sentence to the total.
    void add(const QString& said, const QString& heard);

    int errors() const { return errors_; }
    int words() const { return words_; }
    // Errors per word said (0 for no words).
    double rate() const { return words_ == 0 ? 0.0 : static_cast<double>(errors_) / words_; }

private:
    int errors_ = 0;
    int words_ = 0;
};

} // namespace ebbcast::test
