#include "support/WordErrorRate.h"

#include <algorithm>
#include <numeric>
#include <vector>

namespace ebbcast::test {

QStringList WordErrorRate::words(const QString& text)
{
    QString cleaned;
    cleaned.reserve(text.size());
    for (const QChar character : text.toLower()) {
        if (character.isLetterOrNumber())
            cleaned.append(character);
        else if (character.isSpace())
            cleaned.append(u' ');
        // Punctuation is dropped, so "o'clock" and "oclock" are the same word.
    }
    return cleaned.split(u' ', Qt::SkipEmptyParts);
}

int WordErrorRate::errors(const QString& said, const QString& heard)
{
    const QStringList reference = words(said);
    const QStringList hypothesis = words(heard);
    // One row of the edit-distance table at a time.
    std::vector<int> previous(static_cast<size_t>(hypothesis.size()) + 1);
    std::iota(previous.begin(), previous.end(), 0);
    std::vector<int> current(previous.size());
    for (qsizetype i = 1; i <= reference.size(); ++i) {
        current[0] = static_cast<int>(i);
        for (qsizetype j = 1; j <= hypothesis.size(); ++j) {
            const int substitution = previous[j - 1] + (reference[i - 1] == hypothesis[j - 1] ? 0 : 1);
            current[j] = std::min({substitution, previous[j] + 1, current[j - 1] + 1});
        }
        std::swap(previous, current);
    }
    return previous.back();
}

void WordErrorRate::add(const QString& said, const QString& heard)
{
    errors_ += errors(said, heard);
    words_ += static_cast<int>(words(said).size());
}

} // namespace ebbcast::test
