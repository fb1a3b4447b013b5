#pragma once

#include "app/DashboardActions.h"

#include <QObject>

#include <memory>

class QWidget;

namespace ebbcast {

class DashboardView;
class EbbcastAppModel;

// The dashboard window "Ebbcast": 760 × 680 (logical pixels), closable, minimizable and resizable, centred on
// the primary screen when first made and reused afterwards. Escape or closing it only hides it. Its content
// (DashboardView) follows the model, reads the sources when shown and calls the actions. The model must
// outlive the controller. Main thread only, under a QApplication.
class DashboardWindowController : public QObject {
    Q_OBJECT

public:
    static constexpr int windowWidth = 760;
    static constexpr int windowHeight = 680;

    DashboardWindowController(EbbcastAppModel& model, DashboardActions actions, DashboardSources sources,
                              QObject* parent = nullptr);
    ~DashboardWindowController() override;

    // Makes the window on the first call, then shows it (bringing back a minimized one), raises and activates
    // it. Throws EbbcastError without a QApplication.
    void show();
    void hide();
    bool isShown() const;

    // A start or stop under way (the model has no state for it): the start/stop button says "Starting…" or
    // "Stopping…" and, like the other recording controls, cannot be used until it is none again.
    void setTransition(RecordingTransition transition);
    // Reads the recent sessions and the readiness again, if the window is shown (for example after the
    // recordings folder setting changed).
    void refresh();

    // Null before the first show().
    QWidget* window() const { return window_.get(); }
    DashboardView* view() const { return view_; }

private:
    EbbcastAppModel& model_;
    DashboardActions actions_;
    DashboardSources sources_;
    RecordingTransition transition_ = RecordingTransition::none;
    std::unique_ptr<QWidget> window_;
    DashboardView* view_ = nullptr;
};

} // namespace ebbcast
