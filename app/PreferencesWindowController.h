#pragma once

#include "app/PreferencesSources.h"

#include <QObject>
#include <QRect>

#include <memory>

class QScrollArea;
class QWidget;

namespace ebbcast {

class PreferencesForm;
class PreferencesStore;

// The preferences window: "Ebbcast Preferences", 620 × 720 (less on a screen with less room, the form then
// scrolls), closable, minimizable and resizable, centred on the primary screen when it is first made. Its
// form (PreferencesForm) edits the settings store. Closing it or pressing Escape commits the field being
// edited and hides the window; show() makes it on the first call and brings it back to the front after.
// Main thread, under a QApplication.
class PreferencesWindowController : public QObject {
    Q_OBJECT

public:
    static constexpr int preferredWidth = 620;
    static constexpr int preferredHeight = 720;

    PreferencesWindowController(PreferencesStore& preferences, PreferencesSources sources,
                                QObject* parent = nullptr);
    ~PreferencesWindowController() override;

    // Shows the stored settings (the displays and sound inputs asked for again), then shows, raises and
    // activates the window.
    void show();
    void hide();
    bool isShown() const;

    // Where the window goes on a screen with that free area: the preferred size, or as much of it as fits
    // with room for the window's frame, centred.
    static QRect placement(const QRect& available);

    // Null before the first show().
    QWidget* window() const;
    PreferencesForm* form() const { return form_; }
    QScrollArea* scrollArea() const { return scrollArea_; }

private:
    void create();

    PreferencesStore& preferences_;
    PreferencesSources sources_;
    std::unique_ptr<QWidget> window_;
    QScrollArea* scrollArea_ = nullptr;
    PreferencesForm* form_ = nullptr;
};

} // namespace ebbcast
