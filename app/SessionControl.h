#pragma once

#include "app/ControlTarget.h"

#include <functional>

namespace ebbcast {

class AppDelegate;

// The running application as the control interface sees it: its recording session and model, through the
// delegate (its components are gone after the quit's teardown, and every request then fails with
// "Ebbcast is quitting."). Main thread.
class SessionControl : public ControlTarget {
public:
    // `activated` gets what a second launch handed over.
    SessionControl(
        AppDelegate& delegate,
        std::function<void(const QStringList& arguments, const QString& workingDirectory)> activated);

    QCoro::Task<QString> start() override;
    QCoro::Task<QString> stop() override;
    std::optional<double> createMarker(const QString& label) override;
    QVariantMap status() const override;
    void activate(const QStringList& arguments, const QString& workingDirectory) override;

private:
    bool quitting() const;
    // Waits for a stop under way elsewhere (the menu, silence, another caller): the folder it saved.
    QCoro::Task<QString> folderOfTheStopUnderWay();

    AppDelegate& delegate_;
    std::function<void(const QStringList&, const QString&)> activated_;
};

} // namespace ebbcast
