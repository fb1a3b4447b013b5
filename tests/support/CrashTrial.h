#pragma once

#include <QString>
#include <QStringList>

namespace ebbcast::test {

// Starts the recording probe, waits until it records, lets it run for a random time within the range and
// kills it with SIGKILL. Returns the seconds it recorded before the kill; throws when it never started.
double recordThenKill(const QStringList& probeArguments, int minimumMilliseconds, int maximumMilliseconds);

} // namespace ebbcast::test
