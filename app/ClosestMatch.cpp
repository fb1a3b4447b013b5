#include "app/ClosestMatch.h"

#include <algorithm>
#include <vector>

namespace ebbcast {

int editDistance(const QString& a, const QString& b)
{
    const QString x = a.toCaseFolded();
    const QString y = b.toCaseFolded();
    const qsizetype rows = x.size() + 1;
    const qsizetype columns = y.size() + 1;
    std::vector<int> d(static_cast<size_t>(rows * columns));
    const auto at = [&d, columns](qsizetype i, qsizetype j) -> int& {
        return d[static_cast<size_t>(i * columns + j)];
    };
    for (qsizetype i = 0; i < rows; ++i)
        at(i, 0) = static_cast<int>(i);
    for (qsizetype j = 0; j < columns; ++j)
        at(0, j) = static_cast<int>(j);
    for (qsizetype i = 1; i < rows; ++i) {
        for (qsizetype j = 1; j < columns; ++j) {
            const int cost = x[i - 1] == y[j - 1] ? 0 : 1;
            at(i, j) = std::min({at(i - 1, j) + 1, at(i, j - 1) + 1, at(i - 1, j - 1) + cost});
            if (i > 1 && j > 1 && x[i - 1] == y[j - 2] && x[i - 2] == y[j - 1])
                at(i, j) = std::min(at(i, j), at(i - 2, j - 2) + 1);
        }
    }
    return at(rows - 1, columns - 1);
}

std::optional<QString> closestMatch(const QString& word, const QStringList& candidates)
{
    if (word.isEmpty())
        return std::nullopt;
    const int allowed = std::max<int>(1, static_cast<int>(word.size() / 3));
    std::optional<QString> best;
    int bestDistance = allowed + 1;
    bool tie = false;
    for (const QString& candidate : candidates) {
        const int distance = editDistance(word, candidate);
        if (distance < bestDistance) {
            best = candidate;
            bestDistance = distance;
            tie = false;
        } else if (distance == bestDistance) {
            tie = true;
        }
    }
    if (best && !tie)
        return best;
    if (best || word.size() < 3)
        return std::nullopt;

    std::optional<QString> holder;
    for (const QString& candidate : candidates) {
        if (!candidate.contains(word, Qt::CaseInsensitive))
            continue;
        if (holder)
            return std::nullopt;
        holder = candidate;
    }
    return holder;
}

} // namespace ebbcast
