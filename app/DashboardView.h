#pragma once

#include "app/DashboardActions.h"
#include "app/RecentSessionFolders.h"

#include <QStringList>
#include <QWidget>

#include <cstddef>
#include <functional>
#include <memory>
#include <vector>

class QFileSystemWatcher;
class QGridLayout;
class QLabel;
class QPushButton;
class QTimer;
class QVBoxLayout;

namespace ebbcast {

class DashboardIndicator;
class EbbcastAppModel;
class FolderRevealer;
class LevelMeter;
class RunStatePill;

// The dashboard's content: the run state with the elapsed time and status line, the microphone and
// system-audio meters, the recording controls, the Google Drive card, the final-transcript card, the recent
// sessions and the recording readiness of each device. Every part follows the model's change signals; the
// buttons call the actions. The recent sessions and the readiness are read when the view is shown and on
// refresh(); while it is visible, the recordings folder is watched, so a new session appears as soon as its
// "metadata.json" does. The model must outlive the view. Main thread only.
class DashboardView : public QWidget {
    Q_OBJECT

public:
    static constexpr std::size_t maximumRecentSessions = 5;

    DashboardView(EbbcastAppModel& model, DashboardActions actions, DashboardSources sources,
                  QWidget* parent = nullptr);
    ~DashboardView() override;

    void setTransition(RecordingTransition transition);
    RecordingTransition transition() const { return transition_; }

    // Reads the recent sessions and the readiness again (when visible; showing the view reads them anyway).
    void refresh();

    // The session folders listed, newest first.
    QStringList shownSessionFolders() const { return shownSessions_; }
    // The folders watched for new sessions (none while hidden).
    QStringList watchedFolders() const;

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void buildHeader(QVBoxLayout& layout);
    void buildRecordingCard(QVBoxLayout& layout);
    void buildDeliveryCards(QVBoxLayout& layout);
    void buildLowerCards(QVBoxLayout& layout);
    QPushButton* addButton(QWidget* parent, const QString& text, const QString& name,
                           std::function<void()> DashboardActions::*action);
    void bindModel();

    void showState();
    void showControls();
    void showGoogleConnection();
    void showQueues();
    void showDriveDelivery();
    void showTranscript();
    void refreshSessions();
    void refreshReadiness();
    void showSessions(const std::vector<SessionFolderEntry>& sessions);

    EbbcastAppModel& model_;
    DashboardActions actions_;
    DashboardSources sources_;
    std::unique_ptr<FolderRevealer> revealer_;
    RecordingTransition transition_ = RecordingTransition::none;
    bool stopsRecording_ = false; // what the start/stop button does now

    RunStatePill* pill_ = nullptr;
    QLabel* elapsed_ = nullptr;
    QLabel* status_ = nullptr;
    LevelMeter* micMeter_ = nullptr;
    LevelMeter* systemMeter_ = nullptr;
    QPushButton* startStop_ = nullptr;
    QPushButton* overlay_ = nullptr;
    QPushButton* wrapUp_ = nullptr;
    QPushButton* marker_ = nullptr;
    QPushButton* miniController_ = nullptr;

    QLabel* driveConnection_ = nullptr;
    QLabel* lastUpload_ = nullptr;
    QLabel* driveDetail_ = nullptr;
    QLabel* uploadedFiles_ = nullptr;
    QLabel* uploadQueue_ = nullptr;
    QLabel* transcriptionQueue_ = nullptr;
    DashboardIndicator* delivery_ = nullptr;
    DashboardIndicator* processing_ = nullptr;
    QPushButton* connectGoogle_ = nullptr;
    QPushButton* uploadLastSession_ = nullptr;
    QPushButton* openLastDriveFolder_ = nullptr;

    QLabel* transcriptStatus_ = nullptr;
    QLabel* transcriptDetail_ = nullptr;
    QPushButton* openTranscript_ = nullptr;
    QPushButton* copyTranscript_ = nullptr;
    QPushButton* openTranscriptDriveFolder_ = nullptr;

    QPushButton* openSessionsFolder_ = nullptr;
    QVBoxLayout* sessionRows_ = nullptr;
    QLabel* noSessions_ = nullptr;
    QStringList shownSessions_;
    QWidget* readinessCard_ = nullptr;
    QGridLayout* readinessLines_ = nullptr;
    std::vector<DeviceReadiness> shownReadiness_;

    QFileSystemWatcher* watcher_ = nullptr;
    QTimer* settle_ = nullptr; // gathers a burst of folder changes into one listing
};

} // namespace ebbcast
