// Shows the wrap-up preview window in a process of its own, for the tests of what happens without a display.
// Usage: ebbcast_wrapup_preview_probe core|gui
//   core: a QCoreApplication only (as `ebbcast --headless` runs); gui: a QApplication on the platform that
//   QT_QPA_PLATFORM chooses.
// Prints "shown" and exits 0, or prints "refused: <description>" and exits 2.

#include "app/WrapUpPreviewWindowController.h"
#include "capture/CameraPreviewFeed.h"
#include "core/base/EbbcastError.h"

#include <QApplication>
#include <QCoreApplication>

#include <cstdio>
#include <cstring>
#include <memory>

int main(int argc, char* argv[])
{
    const bool gui = argc > 1 && std::strcmp(argv[1], "gui") == 0;
    std::unique_ptr<QCoreApplication> application;
    if (gui)
        application = std::make_unique<QApplication>(argc, argv);
    else
        application = std::make_unique<QCoreApplication>(argc, argv);
    ebbcast::CameraPreviewFeed feed;
    ebbcast::WrapUpPreviewWindowController controller;
    try {
        controller.show(feed);
    } catch (const ebbcast::EbbcastError& error) {
        std::printf("refused: %s\n", error.description().toUtf8().constData());
        return 2;
    }
    std::printf("shown\n");
    return 0;
}
