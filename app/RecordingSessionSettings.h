#pragma once

#include "session/RecordingSession.h"

namespace ebbcast {

class PreferencesStore;

// The session's settings as the store holds them now (the recording folder with "~" expanded).
RecordingSession::Settings recordingSessionSettings(const PreferencesStore& preferences);
// Keeps the session's settings current: every change of one of them in the store reaches the session.
void connectRecordingSessionSettings(PreferencesStore& preferences, RecordingSession& session);

} // namespace ebbcast
