#pragma once

#include "app/PreferencesSources.h"

#include <QHash>
#include <QList>
#include <QString>
#include <QVariant>
#include <QWidget>

#include <functional>
#include <map>
#include <optional>
#include <vector>

class QCheckBox;
class QComboBox;
class QFormLayout;
class QGroupBox;
class QLabel;
class QLineEdit;
class QVBoxLayout;

namespace ebbcast {

class PreferencesStore;

// Every user setting as a control, in sections, each bound to the store's property of the same meaning: the
// control shows the stored value and follows its changes; a change by the user is assigned to the store
// (which writes the settings file). Switches and lists assign at once; text fields when their editing is
// finished (Enter, leaving the field, closing the window), after a check: a value that fails shows a message
// under the field and is not assigned. Secrets are masked. Each control's object name is its setting's key;
// the message under it is named key + "Message". Main thread, under a QApplication.
class PreferencesForm : public QWidget {
    Q_OBJECT

public:
    PreferencesForm(PreferencesStore& preferences, PreferencesSources sources, QWidget* parent = nullptr);
    ~PreferencesForm() override;

    // Shows every setting as the store holds it, asks the sources for the displays and sound inputs again and
    // clears the messages. Watch-list entries unchecked since the last reload go away.
    void reload();
    // Commits the text field being edited, as leaving it would.
    void commitFocusedField();
    // The message under the setting's field; empty when there is none.
    QString message(const QString& key) const;

    // Colour of the messages on the palette's window background: a red with a contrast of at least 4.5:1, or
    // the text colour.
    static QColor messageColour(const QPalette& palette);

protected:
    void changeEvent(QEvent* event) override;

private Q_SLOTS:
    // Any stored value changed: the sending signal names it.
    void onStoredValueChanged();

private:
    // A text field's check: the value to assign, or the message to show.
    struct Checked {
        std::optional<QVariant> value;
        QString problem;
    };
    using Check = std::function<Checked(const QString& text)>;

    struct TextField {
        QLineEdit* edit = nullptr;
        Check check;
        std::function<QString(const QVariant&)> text; // the stored value as the field shows it
    };

    QGroupBox* addSection(const QString& title, QFormLayout*& form);
    void addNote(QFormLayout* form, const QString& text);
    QCheckBox* addSwitch(QFormLayout* form, const QString& key, const QString& label);
    void addStartup(QVBoxLayout* sections, QFormLayout*& form);
    void changeStartAtLogin(bool enabled);
    // Masked when the setting is a secret.
    QLineEdit* addTextField(QFormLayout* form, const QString& key, const QString& label, Check check);
    // The field with the message under it, as the form's row; the label names the buddy.
    void addRow(QFormLayout* form, const QString& key, const QString& label, QWidget* field, QWidget* buddy);
    QLabel* makeMessage(const QString& key);
    void buildRecordingSection(QVBoxLayout* sections);
    void buildWatchList(QVBoxLayout* sections);

    // A number in the user's language or in C, within the setting's range (SettingRules).
    Check numberCheck(const QString& key, const QString& problem) const;
    Check webAddressCheck(const QString& key) const;
    Check driveFolderCheck() const;
    static Checked recordingFolderCheck(const QString& text);

    void commitText(const QString& key);
    void commitMicrophone();
    void commitWatchListSwitch(const QString& name, bool checked, bool listed);
    void assign(const QString& key, const QVariant& value);
    void showMessage(const QString& key, const QString& text);
    void chooseRecordingFolder();

    // The control of the setting shows the stored value.
    void showStored(const QString& key);
    void showDisplays();
    void showAudioInputs();
    void showWatchList(bool dropUnchecked);
    void onSaveFailed(const QString& key, const QString& description);
    void applyMessageColour();
    void alignCaptions();

    PreferencesStore& preferences_;
    PreferencesSources sources_;
    std::map<QString, TextField> textFields_;
    QHash<QString, QCheckBox*> switches_;
    QHash<QString, QLabel*> messages_;
    QList<QLabel*> captions_; // the labels of the fields, one column wide
    QComboBox* audioFormat_ = nullptr;
    QComboBox* display_ = nullptr;
    QComboBox* microphone_ = nullptr;
    QVBoxLayout* watchList_ = nullptr;
    // The watch-list switches: the default applications, then the other names the list held, in its order.
    std::vector<std::pair<QString, QCheckBox*>> watchedDefaults_;
    std::vector<std::pair<QString, QCheckBox*>> watchedOthers_;
    bool updating_ = false; // controls are being set from the store
    QCheckBox* startAtLogin_ = nullptr;
};

} // namespace ebbcast
