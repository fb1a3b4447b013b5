#include "model/EbbcastRunState.h"

#include <array>
#include <utility>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

using Entry = std::pair<EbbcastRunState, QStringView>;

constexpr std::array<Entry, 9> states{{
    {EbbcastRunState::idle, u"Idle"},
    {EbbcastRunState::armed, u"Armed"},
    {EbbcastRunState::recording, u"Recording"},
    {EbbcastRunState::paused, u"Paused"},
    {EbbcastRunState::wrapUp, u"Wrap Up"},
    {EbbcastRunState::uploading, u"Uploading"},
    {EbbcastRunState::aiProcessing, u"AI Processing"},
    {EbbcastRunState::completed, u"Completed"},
    {EbbcastRunState::error, u"Error"},
}};

} // namespace

QString displayName(EbbcastRunState state)
{
    for (const auto& [value, name] : states) {
        if (value == state)
            return name.toString();
    }
    return {};
}

std::optional<EbbcastRunState> runStateFromDisplayName(const QString& name)
{
    for (const auto& [value, text] : states) {
        if (text == name)
            return value;
    }
    return std::nullopt;
}

std::vector<EbbcastRunState> allRunStates()
{
    std::vector<EbbcastRunState> all;
    all.reserve(states.size());
    for (const auto& entry : states)
        all.push_back(entry.first);
    return all;
}

} // namespace ebbcast
