#include "app/PreferencesForm.h"

#include "app/ColourContrast.h"
#include "app/SettingRules.h"
#include "app/SettingValueText.h"
#include "core/base/AppPaths.h"
#include "core/base/EbbcastError.h"
#include "core/settings/PreferencesStore.h"
#include "core/settings/RecordingAudioFormat.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMetaMethod>
#include <QMetaProperty>
#include <QPushButton>
#include <QTemporaryFile>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>
#include <exception>
#include <vector>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

const QString recordingFolderKey = u"recordingFolderPath"_s;
const QString displayKey = u"defaultDisplayID"_s;
const QString microphoneKey = u"micInputDeviceName"_s;
const QString audioFormatKey = u"audioFormat"_s;
const QString watchListKey = u"enabledWatchListApps"_s;
const QString startAtLoginKey = u"startAtLogin"_s;

// Whether a file can be made in the folder: tried, since modes say nothing of read-only mounts or of root.
bool canWriteInto(const QString& folder)
{
    QTemporaryFile probe(QDir(folder).filePath(u".ebbcast-write-check-XXXXXX"_s));
    return probe.open();
}

bool sameApplication(const QString& first, const QString& second)
{
    return first.compare(second, Qt::CaseInsensitive) == 0;
}

QString displayLabel(const ScreenDisplay& display)
{
    return u"%1, %2×%3 (%4)"_s.arg(display.name).arg(display.width).arg(display.height).arg(display.id);
}

} // namespace

PreferencesForm::PreferencesForm(PreferencesStore& preferences, PreferencesSources sources, QWidget* parent)
    : QWidget(parent)
    , preferences_(preferences)
    , sources_(std::move(sources))
{
    setObjectName(u"preferencesForm"_s);
    auto* sections = new QVBoxLayout(this);
    sections->setSpacing(12);
    QFormLayout* form = nullptr;

    const Check anyText = [](const QString& text) {
        return Checked{QVariant(text.trimmed()), {}};
    };

    addStartup(sections, form);
    sections->addWidget(addSection(u"Ebbcast Identity"_s, form));
    addTextField(form, u"recorderID"_s, u"Recorder ID"_s, anyText);
    addTextField(form, u"recorderName"_s, u"Recorder name"_s, anyText);

    sections->addWidget(addSection(u"Google Drive Upload"_s, form));
    addSwitch(form, u"googleUploadEnabled"_s, u"Upload completed sessions to Google Drive"_s);
    addTextField(form, u"googleClientID"_s, u"Google OAuth client ID"_s, anyText);
    addTextField(form, u"googleClientSecret"_s, u"Google OAuth client secret (optional)"_s, anyText);
    addTextField(form, u"googleDriveFolderURL"_s, u"Recorder Drive folder URL"_s, driveFolderCheck());
    addTextField(form, u"webhookURL"_s, u"Webhook URL (optional)"_s, webAddressCheck(u"webhookURL"_s));
    addNote(form,
            u"Direct upload is restored for internal testing. Server-side handoff can replace this later."_s);

    sections->addWidget(addSection(u"Clock Sync"_s, form));
    addSwitch(form, u"clockSyncEnabled"_s, u"Sync recording clock with server"_s);
    addTextField(form, u"clockSyncURL"_s, u"Clock sync URL"_s, webAddressCheck(u"clockSyncURL"_s));
    addNote(form, u"Endpoint should return JSON with unix_ms or server_time. Lowest-latency sample is saved "
                  u"into metadata."_s);

    sections->addWidget(addSection(u"Corvane Delivery"_s, form));
    addTextField(form, u"corvanePelkoUserID"_s, u"Pelko Slack user ID"_s, anyText);
    addNote(form, u"Ebbcast reads CORVANE_PELKO_RELAY_TOKEN from the environment and posts the session's "
                  u"start, its chunk transcripts and, after Google Drive upload and processing, its delivery "
                  u"to Corvane."_s);

    sections->addWidget(addSection(u"Live Transcription"_s, form));
    addSwitch(form, u"enableLiveTranscription"_s, u"Upload audio chunks to Glossen Gateway"_s);
    addTextField(form, u"glossenGatewayBaseURL"_s, u"Gateway base URL"_s,
                 webAddressCheck(u"glossenGatewayBaseURL"_s));
    addTextField(form, u"glossenGatewayToken"_s, u"Gateway bearer token"_s, anyText);
    addNote(form, u"Audio chunks are sent directly to the private gateway as soon as each chunk finalizes. "
                  u"Google Drive remains archive/export only."_s);

    sections->addWidget(addSection(u"Updates"_s, form));
    addTextField(form, u"updateFeedURL"_s, u"Update feed URL"_s, webAddressCheck(u"updateFeedURL"_s));
    addNote(form, u"Check for Updates reads a private JSON feed, compares versions, and opens the newest "
                  u"download link. Leave blank to disable update checks."_s);

    buildRecordingSection(sections);

    sections->addWidget(addSection(u"Auto Recording"_s, form));
    addSwitch(form, u"autoStartRecording"_s, u"Auto-start recording on microphone activity"_s);
    addSwitch(form, u"onlyAutoRecordWatchedApps"_s, u"Only auto-record watched apps"_s);
    addTextField(form, u"autoStopSilenceSeconds"_s, u"Auto-stop after seconds of silence"_s,
                 numberCheck(u"autoStopSilenceSeconds"_s, u"Enter a number of seconds greater than 0."_s));
    addTextField(form, u"silenceThreshold"_s, u"Silence threshold"_s,
                 numberCheck(u"silenceThreshold"_s, u"Enter a number between 0 and 1."_s));

    sections->addWidget(addSection(u"Recording Prompts"_s, form));
    addSwitch(form, u"promptWhenMicrophoneIsUsed"_s, u"Ask to record when another app uses the microphone"_s);
    addSwitch(form, u"onlyPromptWatchedApps"_s, u"Only prompt for watched apps"_s);
    addTextField(
        form, u"microphonePromptCooldownSeconds"_s, u"Prompt cooldown seconds"_s,
        numberCheck(u"microphonePromptCooldownSeconds"_s, u"Enter a number of seconds, 0 or more."_s));

    buildWatchList(sections);
    sections->addStretch(1);

    // Every stored value's change shows in its control, whoever made it.
    const QMetaObject& store = PreferencesStore::staticMetaObject;
    const QMetaMethod follow = metaObject()->method(metaObject()->indexOfSlot("onStoredValueChanged()"));
    for (int index = store.propertyOffset(); index < store.propertyCount(); ++index)
        connect(&preferences_, store.property(index).notifySignal(), this, follow);
    connect(&preferences_, &PreferencesStore::saveFailed, this, &PreferencesForm::onSaveFailed);

    applyMessageColour();
    alignCaptions();
    reload();
}

PreferencesForm::~PreferencesForm() = default;

QGroupBox* PreferencesForm::addSection(const QString& title, QFormLayout*& form)
{
    auto* section = new QGroupBox(title, this);
    section->setObjectName(title);
    section->setAccessibleName(title);
    form = new QFormLayout(section);
    form->setRowWrapPolicy(QFormLayout::WrapLongRows);
    form->setFieldGrowthPolicy(QFormLayout::AllNonFixedFieldsGrow);
    form->setLabelAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    return section;
}

void PreferencesForm::addNote(QFormLayout* form, const QString& text)
{
    auto* note = new QLabel(text);
    note->setWordWrap(true);
    note->setTextFormat(Qt::PlainText);
    note->setObjectName(u"note"_s);
    form->addRow(note);
}

void PreferencesForm::addStartup(QVBoxLayout* sections, QFormLayout*& form)
{
    if (!sources_.startsAtLogin || !sources_.setStartsAtLogin)
        return;
    sections->addWidget(addSection(u"Startup"_s, form));
    const QString label = u"Start Ebbcast at login"_s;
    startAtLogin_ = new QCheckBox(label);
    startAtLogin_->setObjectName(startAtLoginKey);
    startAtLogin_->setAccessibleName(label);
    connect(startAtLogin_, &QCheckBox::toggled, this, &PreferencesForm::changeStartAtLogin);
    auto* cell = new QWidget;
    auto* column = new QVBoxLayout(cell);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(2);
    column->addWidget(startAtLogin_);
    column->addWidget(makeMessage(startAtLoginKey));
    form->addRow(cell);
    addNote(form, u"Ebbcast starts in the tray when you log in to the desktop."_s);
}

void PreferencesForm::changeStartAtLogin(bool enabled)
{
    if (updating_)
        return;
    try {
        sources_.setStartsAtLogin(enabled);
        showMessage(startAtLoginKey, {});
    } catch (...) {
        showMessage(startAtLoginKey, u"Ebbcast could not change its start at login: "_s +
                                         describeError(std::current_exception()));
    }
    // Whatever happened, the switch shows what the desktop will do.
    updating_ = true;
    startAtLogin_->setChecked(sources_.startsAtLogin());
    updating_ = false;
}

QCheckBox* PreferencesForm::addSwitch(QFormLayout* form, const QString& key, const QString& label)
{
    auto* box = new QCheckBox(label);
    box->setObjectName(key);
    box->setAccessibleName(label);
    switches_.insert(key, box);
    connect(box, &QCheckBox::toggled, this, [this, key](bool checked) {
        if (!updating_)
            assign(key, checked);
    });
    auto* cell = new QWidget;
    auto* column = new QVBoxLayout(cell);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(2);
    column->addWidget(box);
    column->addWidget(makeMessage(key));
    form->addRow(cell);
    return box;
}

QLineEdit* PreferencesForm::addTextField(QFormLayout* form, const QString& key, const QString& label,
                                         Check check)
{
    const SettingDefinition& setting = *SettingDefinitions::find(key);
    auto* edit = new QLineEdit;
    edit->setObjectName(key);
    edit->setAccessibleName(label);
    if (setting.secret) {
        edit->setEchoMode(QLineEdit::Password);
        edit->setInputMethodHints(Qt::ImhHiddenText | Qt::ImhSensitiveData | Qt::ImhNoPredictiveText);
    } else if (setting.kind == SettingKind::number) {
        edit->setInputMethodHints(Qt::ImhFormattedNumbersOnly);
    }
    const auto text = [](const QVariant& value) {
        return value.metaType() == QMetaType::fromType<double>() ? SettingValueText::format(value)
                                                                 : value.toString();
    };
    textFields_.emplace(key, TextField{edit, std::move(check), text});
    connect(edit, &QLineEdit::editingFinished, this, [this, key] { commitText(key); });
    if (form != nullptr)
        addRow(form, key, label, edit, edit);
    return edit;
}

void PreferencesForm::addRow(QFormLayout* form, const QString& key, const QString& label, QWidget* field,
                             QWidget* buddy)
{
    auto* caption = new QLabel(label);
    caption->setBuddy(buddy);
    captions_.append(caption);
    auto* cell = new QWidget;
    auto* column = new QVBoxLayout(cell);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(2);
    column->addWidget(field);
    column->addWidget(makeMessage(key));
    form->addRow(caption, cell);
}

QLabel* PreferencesForm::makeMessage(const QString& key)
{
    auto* message = new QLabel;
    message->setObjectName(key + u"Message"_s);
    message->setWordWrap(true);
    message->setTextFormat(Qt::PlainText);
    message->setVisible(false);
    messages_.insert(key, message);
    return message;
}

void PreferencesForm::buildRecordingSection(QVBoxLayout* sections)
{
    QFormLayout* form = nullptr;
    sections->addWidget(addSection(u"Recording"_s, form));

    audioFormat_ = new QComboBox;
    audioFormat_->setObjectName(audioFormatKey);
    audioFormat_->setAccessibleName(u"Audio format"_s);
    for (const RecordingAudioFormat format : RecordingAudioFormat::allCases()) {
        const QString label = format.value() == RecordingAudioFormat::m4a ? u"M4A (AAC, compressed)"_s
                                                                          : u"WAV (uncompressed)"_s;
        audioFormat_->addItem(label, format.rawValue());
    }
    connect(audioFormat_, &QComboBox::currentIndexChanged, this, [this] {
        if (updating_)
            return;
        if (const auto format = RecordingAudioFormat::fromRawValue(audioFormat_->currentData().toString()))
            assign(audioFormatKey, QVariant::fromValue(*format));
    });
    addRow(form, audioFormatKey, u"Audio format"_s, audioFormat_, audioFormat_);

    display_ = new QComboBox;
    display_->setObjectName(displayKey);
    display_->setAccessibleName(u"Default display ID (0 = main display)"_s);
    connect(display_, &QComboBox::currentIndexChanged, this, [this] {
        if (!updating_ && display_->currentIndex() >= 0)
            assign(displayKey, QVariant::fromValue(display_->currentData().value<quint32>()));
    });
    addRow(form, displayKey, u"Default display ID (0 = main display)"_s, display_, display_);

    microphone_ = new QComboBox;
    microphone_->setObjectName(microphoneKey);
    microphone_->setAccessibleName(u"Mic input device name"_s);
    microphone_->setEditable(true);
    microphone_->setInsertPolicy(QComboBox::NoInsert);
    microphone_->lineEdit()->setPlaceholderText(u"System default input"_s);
    microphone_->lineEdit()->setAccessibleName(u"Mic input device name"_s);
    connect(microphone_->lineEdit(), &QLineEdit::editingFinished, this, &PreferencesForm::commitMicrophone);
    connect(microphone_, &QComboBox::activated, this, &PreferencesForm::commitMicrophone);
    addRow(form, microphoneKey, u"Mic input device name"_s, microphone_, microphone_);

    auto* folder = new QWidget;
    auto* line = new QHBoxLayout(folder);
    line->setContentsMargins(0, 0, 0, 0);
    QLineEdit* edit = addTextField(nullptr, recordingFolderKey, u"Recording folder"_s, &recordingFolderCheck);
    line->addWidget(edit, 1);
    auto* choose = new QPushButton(u"Choose…"_s);
    choose->setObjectName(u"chooseRecordingFolder"_s);
    choose->setAccessibleName(u"Choose recording folder"_s);
    choose->setAutoDefault(false);
    connect(choose, &QPushButton::clicked, this, &PreferencesForm::chooseRecordingFolder);
    line->addWidget(choose);
    addRow(form, recordingFolderKey, u"Recording folder"_s, folder, edit);
}

void PreferencesForm::buildWatchList(QVBoxLayout* sections)
{
    auto* section = new QGroupBox(u"Watch List"_s, this);
    section->setObjectName(u"Watch List"_s);
    section->setAccessibleName(u"Watch List"_s);
    watchList_ = new QVBoxLayout(section);
    sections->addWidget(section);
    const auto addDefault = [this](const QString& name) {
        auto* box = new QCheckBox(name);
        box->setObjectName(watchListKey + u'/' + name);
        box->setAccessibleName(name);
        watchList_->addWidget(box);
        connect(box, &QCheckBox::toggled, this,
                [this, name](bool checked) { commitWatchListSwitch(name, checked, true); });
        watchedDefaults_.emplace_back(name, box);
    };
    for (const QString& name : PreferencesStore::defaultWatchList())
        addDefault(name);
    watchList_->addWidget(makeMessage(watchListKey));
}

PreferencesForm::Check PreferencesForm::numberCheck(const QString& key, const QString& problem) const
{
    return [key, problem](const QString& text) {
        const QString trimmed = text.trimmed();
        // In the user's language first ("0,5" in German), else as written in C ("0.5").
        bool ok = false;
        double number = QLocale().toDouble(trimmed, &ok);
        if (!ok)
            number = QLocale::c().toDouble(trimmed, &ok);
        // The range is the setting's own, as the command line checks it.
        const bool inRange = ok && std::isfinite(number) && !SettingRules::problem(key, QVariant(number));
        return inRange ? Checked{QVariant(number), {}} : Checked{std::nullopt, problem};
    };
}

PreferencesForm::Check PreferencesForm::webAddressCheck(const QString& key) const
{
    const SettingDefinition* setting = SettingDefinitions::find(key);
    const QString problem = setting != nullptr && setting->form == SettingForm::gatewayAddress
                                ? u"Enter local, or an address starting with http:// or https://."_s
                                : u"Enter an address starting with http:// or https://."_s;
    return [key, problem](const QString& text) {
        const QString trimmed = text.trimmed();
        if (SettingRules::problem(key, QVariant(trimmed)))
            return Checked{std::nullopt, problem};
        return Checked{QVariant(trimmed), {}};
    };
}

PreferencesForm::Check PreferencesForm::driveFolderCheck() const
{
    return [this](const QString& text) {
        const QString trimmed = text.trimmed();
        if (!trimmed.isEmpty() && sources_.driveFolderID && !sources_.driveFolderID(trimmed))
            return Checked{std::nullopt, u"Enter a Google Drive folder link or a folder ID."_s};
        return Checked{QVariant(trimmed), {}};
    };
}

PreferencesForm::Checked PreferencesForm::recordingFolderCheck(const QString& text)
{
    const QString trimmed = text.trimmed();
    if (trimmed.isEmpty())
        return {std::nullopt, u"Enter the folder to keep recordings in."_s};
    if (SettingRules::problem(u"recordingFolderPath"_s, QVariant(trimmed)))
        return {std::nullopt, u"Enter a full folder path, starting with / or ~."_s};
    const QString expanded = AppPaths::expandHome(trimmed);
    if (expanded.startsWith(u'~'))
        return {std::nullopt, u"There is no user of that name: enter a full folder path."_s};
    // The folder itself, or, for a folder still to be made, the nearest one above it that exists.
    QString existing = QDir::cleanPath(expanded);
    while (!QFileInfo::exists(existing) && existing != u"/"_s)
        existing = QFileInfo(existing).path();
    if (!QFileInfo(existing).isDir())
        return {std::nullopt, u"This is a file, not a folder."_s};
    if (!canWriteInto(existing))
        return {std::nullopt, u"Ebbcast cannot write to this folder. Choose another one."_s};
    return {QVariant(trimmed), {}};
}

void PreferencesForm::commitText(const QString& key)
{
    if (updating_)
        return;
    const TextField& field = textFields_.at(key);
    const Checked checked = field.check(field.edit->text());
    if (!checked.value) {
        showMessage(key, checked.problem);
        return;
    }
    showMessage(key, {});
    if (preferences_.value(key) != *checked.value)
        assign(key, *checked.value);
    else
        showStored(key); // as it is stored (trimmed, numbers in their shortest form)
}

void PreferencesForm::commitMicrophone()
{
    if (updating_)
        return;
    const QString name = microphone_->currentText().trimmed();
    if (name != preferences_.micInputDeviceName())
        assign(microphoneKey, name);
}

void PreferencesForm::commitWatchListSwitch(const QString& name, bool checked, bool listed)
{
    if (updating_)
        return;
    QStringList list = preferences_.enabledWatchListApps();
    const auto same = [&](const QString& entry) {
        return listed ? sameApplication(entry, name) : entry == name;
    };
    const bool present = std::any_of(list.cbegin(), list.cend(), same);
    if (checked == present)
        return;
    if (checked)
        list.append(name);
    else
        list.removeIf(same);
    assign(watchListKey, list);
}

void PreferencesForm::assign(const QString& key, const QVariant& value)
{
    preferences_.setValue(key, value);
}

void PreferencesForm::showMessage(const QString& key, const QString& text)
{
    QLabel* message = messages_.value(key);
    if (message == nullptr)
        return;
    message->setText(text);
    message->setVisible(!text.isEmpty());
    if (auto* control = findChild<QWidget*>(key))
        control->setAccessibleDescription(text);
}

QString PreferencesForm::message(const QString& key) const
{
    const QLabel* label = messages_.value(key);
    return label != nullptr && !label->isHidden() ? label->text() : QString();
}

void PreferencesForm::commitFocusedField()
{
    // The window's focus, whether or not the window is active.
    const QWidget* focused = focusWidget();
    if (focused == nullptr)
        return;
    for (const auto& [key, field] : textFields_) {
        if (field.edit == focused)
            commitText(key);
    }
    if (focused == microphone_ || focused == microphone_->lineEdit())
        commitMicrophone();
}

void PreferencesForm::chooseRecordingFolder()
{
    const QString current = AppPaths::expandHome(preferences_.recordingFolderPath());
    auto* dialog = new QFileDialog(window(), u"Choose Recording Folder"_s,
                                   QFileInfo(current).isDir() ? current : QDir::homePath());
    dialog->setObjectName(u"recordingFolderDialog"_s);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setAcceptMode(QFileDialog::AcceptOpen);
    dialog->setFileMode(QFileDialog::Directory);
    dialog->setOption(QFileDialog::ShowDirsOnly);
    connect(dialog, &QFileDialog::fileSelected, this, [this](const QString& folder) {
        textFields_.at(recordingFolderKey).edit->setText(QDir::cleanPath(folder));
        commitText(recordingFolderKey);
    });
    dialog->open();
}

void PreferencesForm::reload()
{
    updating_ = true;
    for (const auto& [key, field] : textFields_)
        field.edit->setText(field.text(preferences_.value(key)));
    for (auto it = switches_.cbegin(); it != switches_.cend(); ++it)
        it.value()->setChecked(preferences_.value(it.key()).toBool());
    audioFormat_->setCurrentIndex(audioFormat_->findData(preferences_.audioFormat().rawValue()));
    if (startAtLogin_ != nullptr)
        startAtLogin_->setChecked(sources_.startsAtLogin());
    updating_ = false;
    showDisplays();
    showAudioInputs();
    showWatchList(true);
    for (auto it = messages_.cbegin(); it != messages_.cend(); ++it)
        showMessage(it.key(), {});
}

void PreferencesForm::showStored(const QString& key)
{
    updating_ = true;
    if (const auto field = textFields_.find(key); field != textFields_.end())
        field->second.edit->setText(field->second.text(preferences_.value(key)));
    else if (QCheckBox* box = switches_.value(key))
        box->setChecked(preferences_.value(key).toBool());
    else if (key == audioFormatKey)
        audioFormat_->setCurrentIndex(audioFormat_->findData(preferences_.audioFormat().rawValue()));
    updating_ = false;
    if (key == displayKey)
        showDisplays();
    else if (key == microphoneKey)
        showAudioInputs();
    else if (key == watchListKey)
        showWatchList(false);
    showMessage(key, {});
}

void PreferencesForm::showDisplays()
{
    std::vector<ScreenDisplay> displays;
    if (sources_.displays) {
        try {
            displays = sources_.displays();
        } catch (const std::exception&) {
            displays.clear(); // no display server to ask: only the main display is offered
        }
    }
    const quint32 stored = preferences_.defaultDisplayID();
    updating_ = true;
    display_->clear();
    display_->addItem(u"Main display (0)"_s, QVariant::fromValue(quint32{0}));
    for (const ScreenDisplay& display : displays) {
        if (display.id != 0)
            display_->addItem(displayLabel(display), QVariant::fromValue(quint32{display.id}));
    }
    int index = display_->findData(QVariant::fromValue(stored));
    if (index < 0) {
        display_->addItem(u"%1 (not connected)"_s.arg(stored), QVariant::fromValue(stored));
        index = display_->count() - 1;
    }
    display_->setCurrentIndex(index);
    updating_ = false;
}

void PreferencesForm::showAudioInputs()
{
    const QStringList names = sources_.audioInputNames ? sources_.audioInputNames() : QStringList();
    const QString stored = preferences_.micInputDeviceName();
    updating_ = true;
    microphone_->clear();
    microphone_->addItems(names);
    microphone_->setCurrentIndex(microphone_->findText(stored));
    microphone_->setEditText(stored);
    updating_ = false;
}

void PreferencesForm::showWatchList(bool dropUnchecked)
{
    const QStringList list = preferences_.enabledWatchListApps();
    updating_ = true;
    for (const auto& [name, box] : watchedDefaults_) {
        box->setChecked(std::any_of(list.cbegin(), list.cend(),
                                    [&](const QString& entry) { return sameApplication(entry, name); }));
    }
    if (dropUnchecked) {
        std::erase_if(watchedOthers_, [&](const auto& other) {
            if (list.contains(other.first))
                return false;
            delete other.second;
            return true;
        });
    }
    for (const auto& [name, box] : watchedOthers_)
        box->setChecked(list.contains(name));
    for (const QString& entry : list) {
        const bool isDefault =
            std::any_of(watchedDefaults_.cbegin(), watchedDefaults_.cend(),
                        [&](const auto& item) { return sameApplication(item.first, entry); });
        const bool shown = std::any_of(watchedOthers_.cbegin(), watchedOthers_.cend(),
                                       [&](const auto& item) { return item.first == entry; });
        if (isDefault || shown || entry.trimmed().isEmpty())
            continue;
        auto* box = new QCheckBox(entry);
        box->setObjectName(watchListKey + u'/' + entry);
        box->setAccessibleName(entry);
        box->setChecked(true);
        // After the last switch, before the message.
        watchList_->insertWidget(watchList_->count() - 1, box);
        connect(box, &QCheckBox::toggled, this,
                [this, entry](bool checked) { commitWatchListSwitch(entry, checked, false); });
        watchedOthers_.emplace_back(entry, box);
    }
    // Keep the tab order of the layout: the new switches after the others.
    QWidget* previous = watchedDefaults_.back().second;
    for (const auto& [name, box] : watchedOthers_) {
        setTabOrder(previous, box);
        previous = box;
    }
    updating_ = false;
}

void PreferencesForm::onStoredValueChanged()
{
    const int signal = senderSignalIndex();
    const QMetaObject& store = PreferencesStore::staticMetaObject;
    for (int index = store.propertyOffset(); index < store.propertyCount(); ++index) {
        const QMetaProperty property = store.property(index);
        if (property.notifySignalIndex() == signal) {
            showStored(QString::fromLatin1(property.name()));
            return;
        }
    }
}

void PreferencesForm::onSaveFailed(const QString& key, const QString& description)
{
    showMessage(key, u"Ebbcast could not save this setting: "_s + description);
}

QColor PreferencesForm::messageColour(const QPalette& palette)
{
    const QColor background = palette.color(QPalette::Window);
    const QColor red =
        relativeLuminance(background) < 0.18 ? QColor(0xff, 0xa0, 0x9a) : QColor(0xa8, 0x1c, 0x1c);
    return contrastRatio(red, background) >= 4.5 ? red : palette.color(QPalette::WindowText);
}

void PreferencesForm::changeEvent(QEvent* event)
{
    QWidget::changeEvent(event);
    if (event->type() == QEvent::PaletteChange)
        applyMessageColour();
    else if (event->type() == QEvent::FontChange || event->type() == QEvent::StyleChange)
        alignCaptions();
}

void PreferencesForm::alignCaptions()
{
    // One column of labels through all the sections, as wide as the widest label.
    int width = 0;
    for (QLabel* caption : std::as_const(captions_)) {
        caption->setMinimumWidth(0);
        width = std::max(width, caption->sizeHint().width());
    }
    for (QLabel* caption : std::as_const(captions_))
        caption->setMinimumWidth(width);
}

void PreferencesForm::applyMessageColour()
{
    const QColor colour = messageColour(palette());
    for (QLabel* message : std::as_const(messages_)) {
        QPalette own = message->palette();
        own.setColor(QPalette::WindowText, colour);
        message->setPalette(own);
    }
}

} // namespace ebbcast
