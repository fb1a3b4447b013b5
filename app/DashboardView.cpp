#include "app/DashboardView.h"

#include "app/ColourContrast.h"
#include "app/FolderRevealer.h"
#include "app/LevelMeter.h"
#include "app/RunStatePill.h"
#include "model/EbbcastAppModel.h"

#include <QDBusConnection>
#include <QDir>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHideEvent>
#include <QLabel>
#include <QLocale>
#include <QPainter>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>
#include <utility>

using namespace Qt::StringLiterals;

namespace ebbcast {

namespace {

// Folder changes usually come in bursts (a session folder, then its first files): one listing after them.
constexpr int settleMs = 150;

QFont scaledFont(const QFont& base, double factor, bool bold)
{
    QFont font = base;
    if (base.pointSizeF() > 0)
        font.setPointSizeF(base.pointSizeF() * factor);
    else
        font.setPixelSize(static_cast<int>(base.pixelSize() * factor));
    font.setBold(bold);
    return font;
}

// A rounded panel in the palette's base colour; what it holds reads the palette's text colour on it.
class Card : public QWidget {
public:
    explicit Card(QWidget* parent = nullptr)
        : QWidget(parent)
    {
        setBackgroundRole(QPalette::Base);
        setForegroundRole(QPalette::Text);
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        const QColor base = palette().color(QPalette::Base);
        painter.setPen(QPen(blend(base, palette().color(QPalette::Text), 0.18), 1.0));
        painter.setBrush(base);
        painter.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 10, 10);
    }
};

QLabel* addLabel(QWidget* parent, const QString& name, const QFont& font, bool wrap = false)
{
    auto* label = new QLabel(parent);
    label->setObjectName(name);
    label->setFont(font);
    label->setWordWrap(wrap);
    label->setTextFormat(Qt::PlainText);
    return label;
}

QVBoxLayout* cardLayout(Card* card)
{
    auto* layout = new QVBoxLayout(card);
    layout->setContentsMargins(14, 12, 14, 12);
    layout->setSpacing(6);
    return layout;
}

} // namespace

// A round mark beside its text, in the colour of its tone: quiet for nothing going on, the highlight colour
// for something under way, green for good and amber for a warning (lighter shades on a dark background).
class DashboardIndicator : public QWidget {
public:
    enum class Tone { quiet, active, good, warning };

    explicit DashboardIndicator(const QString& name, QWidget* parent = nullptr)
        : QWidget(parent)
        , label_(new QLabel(this))
    {
        setObjectName(name);
        label_->setTextFormat(Qt::PlainText);
        label_->setWordWrap(true);
        auto* layout = new QHBoxLayout(this);
        layout->setContentsMargins(fontMetrics().height(), 0, 0, 0);
        layout->addWidget(label_, 1);
    }

    void setState(Tone tone, const QString& text)
    {
        tone_ = tone;
        label_->setText(text);
        setAccessibleName(text);
        update();
    }

    QString text() const { return label_->text(); }

protected:
    void paintEvent(QPaintEvent*) override
    {
        const QColor background = palette().color(backgroundRole());
        const bool dark = relativeLuminance(background) < 0.2;
        QColor colour;
        switch (tone_) {
        case Tone::quiet:
            colour = blend(background, palette().color(foregroundRole()), 0.35);
            break;
        case Tone::active:
            colour = palette().color(QPalette::Highlight);
            break;
        case Tone::good:
            colour = dark ? QColor(0x66, 0xbb, 0x6a) : QColor(0x2e, 0x7d, 0x32);
            break;
        case Tone::warning:
            colour = dark ? QColor(0xff, 0xb7, 0x4d) : QColor(0xe0, 0x8a, 0x00);
            break;
        }
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(Qt::NoPen);
        painter.setBrush(colour);
        const double diameter = fontMetrics().height() * 0.55;
        const double centreY = label_->geometry().top() + fontMetrics().height() / 2.0;
        painter.drawEllipse(QPointF(diameter / 2 + 1, centreY), diameter / 2, diameter / 2);
    }

private:
    QLabel* label_;
    Tone tone_ = Tone::quiet;
};

DashboardView::DashboardView(EbbcastAppModel& model, DashboardActions actions, DashboardSources sources,
                             QWidget* parent)
    : QWidget(parent)
    , model_(model)
    , actions_(std::move(actions))
    , sources_(std::move(sources))
    , watcher_(new QFileSystemWatcher(this))
    , settle_(new QTimer(this))
{
    if (!sources_.revealFolder) {
        revealer_ = std::make_unique<FolderRevealer>(QDBusConnection::sessionBus());
        sources_.revealFolder = [this](const QString& folder) {
            revealer_->reveal(folder);
        };
    }
    setBackgroundRole(QPalette::Window);
    setForegroundRole(QPalette::WindowText);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(18, 14, 18, 16);
    layout->setSpacing(12);
    buildHeader(*layout);
    buildRecordingCard(*layout);
    buildDeliveryCards(*layout);
    buildLowerCards(*layout);
    layout->addStretch(1);

    settle_->setSingleShot(true);
    settle_->setInterval(settleMs);
    connect(settle_, &QTimer::timeout, this, &DashboardView::refreshSessions);
    connect(watcher_, &QFileSystemWatcher::directoryChanged, settle_, qOverload<>(&QTimer::start));

    bindModel();
}

DashboardView::~DashboardView() = default;

QPushButton* DashboardView::addButton(QWidget* parent, const QString& text, const QString& name,
                                      std::function<void()> DashboardActions::*action)
{
    auto* button = new QPushButton(text, parent);
    button->setObjectName(name);
    button->setAutoDefault(false);
    button->setFocusPolicy(Qt::StrongFocus);
    if (action != nullptr) {
        connect(button, &QPushButton::clicked, this, [this, action] {
            if (actions_.*action)
                (actions_.*action)();
        });
    }
    return button;
}

void DashboardView::buildHeader(QVBoxLayout& layout)
{
    auto* header = new QHBoxLayout;
    header->setSpacing(12);
    auto* titles = new QVBoxLayout;
    titles->setSpacing(2);
    QLabel* title = addLabel(this, u"title"_s, scaledFont(font(), 1.7, true));
    title->setText(u"Ebbcast"_s);
    QLabel* subtitle = addLabel(this, u"subtitle"_s, font());
    subtitle->setText(u"Quiet desktop capture for AI workflows"_s);
    titles->addWidget(title);
    titles->addWidget(subtitle);
    header->addLayout(titles, 1);

    auto* state = new QVBoxLayout;
    state->setSpacing(4);
    auto* stateLine = new QHBoxLayout;
    stateLine->setSpacing(10);
    stateLine->addStretch(1);
    pill_ = new RunStatePill(this);
    pill_->setObjectName(u"runState"_s);
    elapsed_ = addLabel(this, u"elapsedTime"_s, scaledFont(font(), 1.45, true));
    elapsed_->setToolTip(u"Elapsed time"_s);
    stateLine->addWidget(pill_);
    stateLine->addWidget(elapsed_);
    state->addLayout(stateLine);
    state->addStretch(1);
    header->addLayout(state);
    layout.addLayout(header);
    status_ = addLabel(this, u"statusMessage"_s, font(), true);
    layout.addWidget(status_);
}

void DashboardView::buildRecordingCard(QVBoxLayout& layout)
{
    auto* card = new Card(this);
    card->setObjectName(u"recordingCard"_s);
    QVBoxLayout* inside = cardLayout(card);

    auto* meters = new QGridLayout;
    meters->setHorizontalSpacing(12);
    meters->setVerticalSpacing(6);
    const QFont bold = scaledFont(font(), 1.0, true);
    const auto addMeter = [&](int row, const QString& text, const QString& name) {
        QLabel* label = addLabel(card, name + u"Label"_s, bold);
        label->setText(text);
        auto* meter = new LevelMeter(card);
        meter->setObjectName(name);
        meter->setAccessibleName(text + u" level"_s);
        label->setBuddy(meter);
        meters->addWidget(label, row, 0);
        meters->addWidget(meter, row, 1);
        return meter;
    };
    micMeter_ = addMeter(0, u"Microphone"_s, u"microphoneMeter"_s);
    systemMeter_ = addMeter(1, u"System Audio"_s, u"systemAudioMeter"_s);
    meters->setColumnStretch(1, 1);
    inside->addLayout(meters);
    inside->addSpacing(4);

    auto* controls = new QHBoxLayout;
    controls->setSpacing(8);
    startStop_ = addButton(card, u"Start Recording"_s, u"startStopButton"_s, nullptr);
    connect(startStop_, &QPushButton::clicked, this, [this] {
        const auto& action = stopsRecording_ ? actions_.stopRecording : actions_.startRecording;
        if (action)
            action();
    });
    overlay_ = addButton(card, u"Hide Recording Overlay"_s, u"overlayButton"_s,
                         &DashboardActions::toggleRecordingIndicators);
    wrapUp_ = addButton(card, u"Wrap Up"_s, u"wrapUpButton"_s, &DashboardActions::wrapUp);
    marker_ = addButton(card, u"Marker"_s, u"markerButton"_s, &DashboardActions::createMarker);
    marker_->setAccessibleName(u"Create Marker"_s);
    miniController_ = addButton(card, u"Show Mini Controller"_s, u"miniControllerButton"_s,
                                &DashboardActions::openMiniController);
    for (QPushButton* button : {startStop_, overlay_, wrapUp_, marker_})
        controls->addWidget(button);
    controls->addStretch(1);
    controls->addWidget(miniController_);
    inside->addLayout(controls);
    layout.addWidget(card);
}

void DashboardView::buildDeliveryCards(QVBoxLayout& layout)
{
    auto* row = new QHBoxLayout;
    row->setSpacing(12);
    const QFont bold = scaledFont(font(), 1.0, true);

    auto* drive = new Card(this);
    drive->setObjectName(u"driveCard"_s);
    QVBoxLayout* driveLayout = cardLayout(drive);
    driveConnection_ = addLabel(drive, u"driveConnection"_s, bold, true);
    lastUpload_ = addLabel(drive, u"lastUploadStatus"_s, font(), true);
    driveDetail_ = addLabel(drive, u"driveDeliveryDetail"_s, font(), true);
    uploadedFiles_ = addLabel(drive, u"uploadedFiles"_s, font());
    uploadQueue_ = addLabel(drive, u"uploadQueue"_s, font());
    transcriptionQueue_ = addLabel(drive, u"transcriptionQueue"_s, font());
    auto* counts = new QHBoxLayout;
    counts->setSpacing(14);
    counts->addWidget(uploadedFiles_);
    counts->addWidget(uploadQueue_);
    counts->addWidget(transcriptionQueue_);
    counts->addStretch(1);
    delivery_ = new DashboardIndicator(u"deliveryIndicator"_s, drive);
    processing_ = new DashboardIndicator(u"processingIndicator"_s, drive);
    for (QWidget* part : std::initializer_list<QWidget*>{driveConnection_, lastUpload_, driveDetail_})
        driveLayout->addWidget(part);
    driveLayout->addLayout(counts);
    driveLayout->addWidget(delivery_);
    driveLayout->addWidget(processing_);
    driveLayout->addStretch(1);

    auto* transcript = new Card(this);
    transcript->setObjectName(u"transcriptCard"_s);
    QVBoxLayout* transcriptLayout = cardLayout(transcript);
    QLabel* transcriptTitle = addLabel(transcript, u"transcriptTitle"_s, bold);
    transcriptTitle->setText(u"Final Transcript"_s);
    transcriptStatus_ = addLabel(transcript, u"transcriptStatus"_s, font(), true);
    transcriptDetail_ = addLabel(transcript, u"transcriptDetail"_s, font(), true);
    transcriptLayout->addWidget(transcriptTitle);
    transcriptLayout->addWidget(transcriptStatus_);
    transcriptLayout->addWidget(transcriptDetail_);
    transcriptLayout->addStretch(1);

    // The buttons are made in reading order (Drive, then transcript), which is also the Tab order.
    connectGoogle_ = addButton(drive, u"Connect Google Drive"_s, u"connectGoogleButton"_s,
                               &DashboardActions::connectGoogle);
    uploadLastSession_ = addButton(drive, u"Upload Last Session"_s, u"uploadLastSessionButton"_s,
                                   &DashboardActions::uploadLastSession);
    openLastDriveFolder_ = addButton(drive, u"Open Last Drive Folder"_s, u"openLastDriveFolderButton"_s,
                                     &DashboardActions::openLastDriveFolder);
    auto* driveButtons = new QGridLayout;
    driveButtons->setSpacing(6);
    driveButtons->addWidget(connectGoogle_, 0, 0, 1, 2);
    driveButtons->addWidget(uploadLastSession_, 1, 0);
    driveButtons->addWidget(openLastDriveFolder_, 1, 1);
    driveLayout->addLayout(driveButtons);

    openTranscript_ = addButton(transcript, u"Open Clean Transcript"_s, u"openTranscriptButton"_s,
                                &DashboardActions::openTranscript);
    copyTranscript_ = addButton(transcript, u"Copy Clean Transcript"_s, u"copyTranscriptButton"_s,
                                &DashboardActions::copyTranscript);
    openTranscriptDriveFolder_ =
        addButton(transcript, u"Open Drive Folder"_s, u"openTranscriptDriveFolderButton"_s,
                  &DashboardActions::openTranscriptDriveFolder);
    openTranscriptDriveFolder_->setAccessibleName(u"Open Transcript Drive Folder"_s);
    auto* transcriptButtons = new QGridLayout;
    transcriptButtons->setSpacing(6);
    transcriptButtons->addWidget(openTranscript_, 0, 0);
    transcriptButtons->addWidget(copyTranscript_, 0, 1);
    transcriptButtons->addWidget(openTranscriptDriveFolder_, 1, 0);
    transcriptLayout->addLayout(transcriptButtons);

    row->addWidget(drive, 1);
    row->addWidget(transcript, 1);
    layout.addLayout(row);
}

void DashboardView::buildLowerCards(QVBoxLayout& layout)
{
    auto* row = new QHBoxLayout;
    row->setSpacing(12);
    const QFont bold = scaledFont(font(), 1.0, true);

    auto* sessions = new Card(this);
    sessions->setObjectName(u"recentSessionsCard"_s);
    QVBoxLayout* sessionsLayout = cardLayout(sessions);
    auto* heading = new QHBoxLayout;
    QLabel* title = addLabel(sessions, u"recentSessionsTitle"_s, bold);
    title->setText(u"Recent Sessions"_s);
    openSessionsFolder_ = addButton(sessions, u"Open Recordings Folder"_s, u"openSessionsFolderButton"_s,
                                    &DashboardActions::openSessionsFolder);
    heading->addWidget(title, 1);
    heading->addWidget(openSessionsFolder_);
    sessionsLayout->addLayout(heading);
    noSessions_ = addLabel(sessions, u"noSessions"_s, font());
    noSessions_->setText(u"No sessions yet"_s);
    sessionsLayout->addWidget(noSessions_);
    sessionRows_ = new QVBoxLayout;
    sessionRows_->setSpacing(2);
    sessionsLayout->addLayout(sessionRows_);
    sessionsLayout->addStretch(1);

    auto* readiness = new Card(this);
    readiness->setObjectName(u"readinessCard"_s);
    readinessCard_ = readiness;
    QVBoxLayout* readinessLayout = cardLayout(readiness);
    QLabel* readinessTitle = addLabel(readiness, u"readinessTitle"_s, bold);
    readinessTitle->setText(u"Recording readiness"_s);
    readinessLayout->addWidget(readinessTitle);
    readinessLines_ = new QGridLayout;
    readinessLines_->setHorizontalSpacing(10);
    readinessLines_->setVerticalSpacing(4);
    readinessLines_->setColumnStretch(1, 1);
    readinessLayout->addLayout(readinessLines_);
    readinessLayout->addStretch(1);
    readiness->hide(); // until there is something to say

    row->addWidget(sessions, 1);
    row->addWidget(readiness, 1);
    layout.addLayout(row);
}

void DashboardView::bindModel()
{
    const auto follow = [this](void (EbbcastAppModel::*signal)(), auto slot) {
        connect(&model_, signal, this, slot);
    };
    follow(&EbbcastAppModel::stateChanged, [this] {
        showState();
        showQueues();
    });
    follow(&EbbcastAppModel::elapsedTextChanged, [this] { elapsed_->setText(model_.elapsedText()); });
    follow(&EbbcastAppModel::statusMessageChanged, [this] { status_->setText(model_.statusMessage()); });
    follow(&EbbcastAppModel::micLevelChanged, [this] { micMeter_->setValue(model_.micLevel()); });
    follow(&EbbcastAppModel::systemLevelChanged, [this] { systemMeter_->setValue(model_.systemLevel()); });
    follow(&EbbcastAppModel::recordingIndicatorsHiddenChanged, [this] { showControls(); });
    follow(&EbbcastAppModel::googleConnectedChanged, [this] { showGoogleConnection(); });
    follow(&EbbcastAppModel::uploadQueueCountChanged, [this] { showQueues(); });
    follow(&EbbcastAppModel::transcriptionQueueCountChanged, [this] { showQueues(); });
    for (const auto signal :
         {&EbbcastAppModel::lastUploadStatusChanged, &EbbcastAppModel::driveDeliveryDetailChanged,
          &EbbcastAppModel::driveUploadedFileCountChanged, &EbbcastAppModel::driveDeliveryIsProcessingChanged,
          &EbbcastAppModel::lastUploadedDriveFolderURLChanged})
        follow(signal, [this] { showDriveDelivery(); });
    for (const auto signal :
         {&EbbcastAppModel::transcriptStatusChanged, &EbbcastAppModel::transcriptDetailChanged,
          &EbbcastAppModel::lastTranscriptURLChanged, &EbbcastAppModel::lastTranscriptDriveFolderURLChanged})
        follow(signal, [this] { showTranscript(); });

    showState();
    elapsed_->setText(model_.elapsedText());
    status_->setText(model_.statusMessage());
    micMeter_->setValue(model_.micLevel());
    systemMeter_->setValue(model_.systemLevel());
    showGoogleConnection();
    showQueues();
    showDriveDelivery();
    showTranscript();
}

void DashboardView::setTransition(RecordingTransition transition)
{
    if (transition_ == transition)
        return;
    transition_ = transition;
    showControls();
}

void DashboardView::showState()
{
    pill_->setState(model_.state());
    showControls();
}

void DashboardView::showControls()
{
    const EbbcastRunState state = model_.state();
    const bool recording = state == EbbcastRunState::recording || state == EbbcastRunState::paused;
    const bool wrappingUp = state == EbbcastRunState::wrapUp;
    const bool settled = transition_ == RecordingTransition::none;

    switch (transition_) {
    case RecordingTransition::starting:
        startStop_->setText(u"Starting…"_s);
        break;
    case RecordingTransition::stopping:
        startStop_->setText(u"Stopping…"_s);
        break;
    case RecordingTransition::none:
        startStop_->setText(recording ? u"Stop Recording"_s : u"Start Recording"_s);
        break;
    }
    stopsRecording_ = recording;
    startStop_->setEnabled(settled && !wrappingUp);

    overlay_->setText(model_.recordingIndicatorsHidden() ? u"Show Recording Overlay"_s
                                                         : u"Hide Recording Overlay"_s);
    overlay_->setEnabled(settled && recording);
    wrapUp_->setText(wrappingUp ? u"End Wrap Up"_s : u"Wrap Up"_s);
    wrapUp_->setEnabled(settled);
    marker_->setEnabled(settled && recording);
}

void DashboardView::showGoogleConnection()
{
    const bool connected = model_.googleConnected();
    driveConnection_->setText(connected ? u"Google Drive archive connected"_s
                                        : u"Google Drive archive not connected"_s);
    connectGoogle_->setText(connected ? u"Connected to Google Drive"_s : u"Connect Google Drive"_s);
    connectGoogle_->setEnabled(!connected);
}

void DashboardView::showQueues()
{
    uploadQueue_->setText(u"Upload queue: "_s + QString::number(model_.uploadQueueCount()));
    transcriptionQueue_->setText(u"Transcription queue: "_s +
                                 QString::number(model_.transcriptionQueueCount()));
    const bool delivering = model_.uploadQueueCount() > 0 || model_.state() == EbbcastRunState::uploading;
    delivery_->setState(delivering ? DashboardIndicator::Tone::active : DashboardIndicator::Tone::quiet,
                        delivering ? u"Delivering to Google Drive"_s : u"No delivery in progress"_s);
}

void DashboardView::showDriveDelivery()
{
    lastUpload_->setText(model_.lastUploadStatus());
    driveDetail_->setText(model_.driveDeliveryDetail());
    uploadedFiles_->setText(u"Uploaded files: "_s + QString::number(model_.driveUploadedFileCount()));
    const bool processing = model_.driveDeliveryIsProcessing();
    processing_->setState(processing ? DashboardIndicator::Tone::active : DashboardIndicator::Tone::quiet,
                          processing ? u"Google Drive is processing the videos"_s
                                     : u"No Drive processing pending"_s);
    openLastDriveFolder_->setEnabled(model_.lastUploadedDriveFolderURL().has_value());
}

void DashboardView::showTranscript()
{
    transcriptStatus_->setText(model_.transcriptStatus());
    transcriptDetail_->setText(model_.transcriptDetail());
    const bool hasTranscript = model_.lastTranscriptURL().has_value();
    openTranscript_->setEnabled(hasTranscript);
    copyTranscript_->setEnabled(hasTranscript);
    openTranscriptDriveFolder_->setEnabled(model_.lastTranscriptDriveFolderURL().has_value());
}

void DashboardView::refresh()
{
    if (!isVisible())
        return; // showing reads everything anyway
    refreshSessions();
    refreshReadiness();
}

QStringList DashboardView::watchedFolders() const
{
    return watcher_->directories();
}

void DashboardView::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    refreshSessions();
    refreshReadiness();
}

void DashboardView::hideEvent(QHideEvent* event)
{
    QWidget::hideEvent(event);
    if (event->spontaneous())
        return; // minimized: still shown as far as the application goes
    settle_->stop();
    if (const QStringList watched = watcher_->directories(); !watched.isEmpty())
        watcher_->removePaths(watched);
}

void DashboardView::refreshSessions()
{
    settle_->stop();
    const QString folder = sources_.recordingsFolder ? sources_.recordingsFolder() : QString();
    const RecentSessionFolders recent = recentSessionFolders(folder, maximumRecentSessions);
    showSessions(recent.sessions);

    // Watched: the recordings folder (its nearest existing parent while it does not exist, so that its
    // creation is seen), and the folders that will hold a session once their document is written.
    QStringList wanted;
    if (!folder.isEmpty()) {
        QString existing = QDir::cleanPath(QFileInfo(folder).absoluteFilePath());
        while (!QFileInfo(existing).isDir() && existing != QDir::rootPath())
            existing = QFileInfo(existing).absolutePath();
        wanted.append(existing);
    }
    wanted.append(recent.awaitingMetadata);
    const QStringList watched = watcher_->directories();
    QStringList gone;
    for (const QString& path : watched) {
        if (!wanted.contains(path))
            gone.append(path);
    }
    if (!gone.isEmpty())
        watcher_->removePaths(gone);
    QStringList added;
    for (const QString& path : wanted) {
        if (!watched.contains(path))
            added.append(path);
    }
    if (!added.isEmpty())
        watcher_->addPaths(added);
}

void DashboardView::showSessions(const std::vector<SessionFolderEntry>& sessions)
{
    QStringList paths;
    for (const SessionFolderEntry& session : sessions)
        paths.append(session.path);
    noSessions_->setVisible(sessions.empty());
    if (paths == shownSessions_)
        return; // unchanged: the rows (and the focus on one) stay
    shownSessions_ = paths;

    while (QLayoutItem* item = sessionRows_->takeAt(0)) {
        delete item->widget();
        delete item;
    }
    QWidget* card = noSessions_->parentWidget();
    const QLocale locale;
    for (const SessionFolderEntry& session : sessions) {
        auto* row = new QWidget(card);
        row->setObjectName(u"sessionRow"_s);
        auto* rowLayout = new QHBoxLayout(row);
        rowLayout->setContentsMargins(0, 0, 0, 0);
        QString text = session.name;
        if (session.start) {
            text = locale.toString(*session.start, u"ddd d MMM yyyy, HH:mm:ss"_s);
            if (session.suffix > 0)
                text += u" ("_s + QString::number(session.suffix + 1) + u')';
        }
        QLabel* label = addLabel(row, u"sessionName"_s, font());
        label->setText(text);
        label->setToolTip(session.path);
        auto* reveal = new QPushButton(u"Show in Folder"_s, row);
        reveal->setObjectName(u"revealSessionButton"_s);
        reveal->setAutoDefault(false);
        reveal->setFocusPolicy(Qt::StrongFocus);
        reveal->setAccessibleName(u"Show session "_s + text + u" in folder"_s);
        reveal->setToolTip(session.path);
        connect(reveal, &QPushButton::clicked, this, [this, path = session.path] {
            if (sources_.revealFolder)
                sources_.revealFolder(path);
        });
        rowLayout->addWidget(label, 1);
        rowLayout->addWidget(reveal);
        sessionRows_->addWidget(row);
    }
}

void DashboardView::refreshReadiness()
{
    std::vector<DeviceReadiness> lines =
        sources_.readiness ? sources_.readiness() : std::vector<DeviceReadiness>{};
    const auto same = [](const DeviceReadiness& left, const DeviceReadiness& right) {
        return left.device == right.device && left.ready == right.ready && left.detail == right.detail;
    };
    if (std::equal(lines.begin(), lines.end(), shownReadiness_.begin(), shownReadiness_.end(), same))
        return;
    shownReadiness_ = std::move(lines);

    while (QLayoutItem* item = readinessLines_->takeAt(0)) {
        delete item->widget();
        delete item;
    }
    const QFont bold = scaledFont(font(), 1.0, true);
    int row = 0;
    for (const DeviceReadiness& line : shownReadiness_) {
        QLabel* device = addLabel(readinessCard_, u"readinessDevice"_s, bold);
        device->setText(line.device);
        auto* state = new DashboardIndicator(u"readinessState"_s, readinessCard_);
        state->setState(line.ready ? DashboardIndicator::Tone::good : DashboardIndicator::Tone::warning,
                        line.ready ? u"Ready"_s : line.detail);
        state->setAccessibleName(line.device + u": "_s + state->text());
        state->setToolTip(line.detail);
        readinessLines_->addWidget(device, row, 0, Qt::AlignTop);
        readinessLines_->addWidget(state, row, 1);
        ++row;
    }
    readinessCard_->setVisible(!shownReadiness_.empty());
}

} // namespace ebbcast
