#pragma once

namespace ebbcast {

class AppDelegate;
class AppPaths;
class Console;
class DriveWebLinks;
class GoogleAuthManager;
class GoogleDriveClient;
class InstanceLock;
class Logger;
class PreferencesStore;
struct PlatformBackends;
class RecordingProcessLock;
class RecordingSession;
class SettingsFile;
class StopSignals;
class UploadManager;

// What a command runs with: the process's standard streams and signals, and the long-lived components the
// composition root built once the arguments were read. Each command uses the members it needs; a later
// command adds the components it brings (the transcription client, the upload manager).
struct CommandContext {
    Console& console;
    StopSignals& stopSignals;
    const AppPaths& paths;
    PreferencesStore& preferences;
    SettingsFile& settingsFile;
    PlatformBackends& backends; // the display list, the recorders, notes on the platform
    RecordingSession& session;
    RecordingProcessLock& processLock;
    GoogleAuthManager& googleAuth; // the Google sign-in
    GoogleDriveClient& googleDrive;
    const DriveWebLinks& driveLinks; // the Drive web pages of files and folders
    UploadManager& uploads;          // session folders to Google Drive
    Logger& logger;
    // The application, for the commands that run it headless ("record", "transcribe"); null for the others.
    AppDelegate* application = nullptr;
    // The lock "record" shares with the application and "recover"; null for the commands that take none.
    InstanceLock* instanceLock = nullptr;
};

} // namespace ebbcast
