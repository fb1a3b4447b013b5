#pragma once

#include <QObject>
#include <QString>

#include <optional>
#include <vector>

namespace ebbcast {

// The meta-object of the run state alone, so the state can be a Q_PROPERTY and be named in signals
// without a QObject of its own.
namespace RunStates {
Q_NAMESPACE

// Where the application is in a session's life, in the order the tray lists them.
enum class EbbcastRunState {
    idle,
    armed,
    recording,
    paused,
    wrapUp,
    uploading,
    aiProcessing,
    completed,
    error,
};
Q_ENUM_NS(EbbcastRunState)

} // namespace RunStates

using RunStates::EbbcastRunState;

// The text shown for a state: "Idle", "Armed", "Recording", "Paused", "Wrap Up", "Uploading",
// "AI Processing", "Completed", "Error".
QString displayName(EbbcastRunState state);
// The state shown as `name` (exact, case-sensitive); empty for any other text.
std::optional<EbbcastRunState> runStateFromDisplayName(const QString& name);
// Every state, in declaration order.
std::vector<EbbcastRunState> allRunStates();

} // namespace ebbcast
