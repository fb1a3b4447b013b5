#pragma once

#include <QString>
#include <QStringList>

#include <optional>

namespace ebbcast {

// The candidate a mistyped word most likely meant, for "did you mean ...?". Letters are compared without
// regard to case. The nearest candidate by edit distance (an inserted, removed or changed letter or two
// neighbours swapped each count as one) wins when it is within a third of the word's length, at least one;
// failing that, the one candidate that holds the word (three letters or more). A tie is no answer.
std::optional<QString> closestMatch(const QString& word, const QStringList& candidates);

// The optimal string alignment distance between two words, compared without regard to case.
int editDistance(const QString& a, const QString& b);

} // namespace ebbcast
