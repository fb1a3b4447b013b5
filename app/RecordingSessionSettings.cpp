#include "app/RecordingSessionSettings.h"

#include "core/settings/PreferencesStore.h"

namespace ebbcast {

RecordingSession::Settings recordingSessionSettings(const PreferencesStore& preferences)
{
    return {preferences.recordingFolderURL().toLocalFile(), preferences.micInputDeviceName(),
            preferences.defaultDisplayID(), preferences.recorderID(), preferences.recorderName()};
}

void connectRecordingSessionSettings(PreferencesStore& preferences, RecordingSession& session)
{
    const auto update = [&preferences, &session] {
        session.setSettings(recordingSessionSettings(preferences));
    };
    QObject::connect(&preferences, &PreferencesStore::recordingFolderPathChanged, &session, update);
    QObject::connect(&preferences, &PreferencesStore::micInputDeviceNameChanged, &session, update);
    QObject::connect(&preferences, &PreferencesStore::defaultDisplayIDChanged, &session, update);
    QObject::connect(&preferences, &PreferencesStore::recorderIDChanged, &session, update);
    QObject::connect(&preferences, &PreferencesStore::recorderNameChanged, &session, update);
}

} // namespace ebbcast
