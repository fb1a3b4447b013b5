// Shows the dashboard in a process of its own, for the checks that need another scale factor
// (QT_SCALE_FACTOR) than the test program's.
// Usage: ebbcast_dashboard_probe PNG
// Shows the window with two sessions and the readiness lines, renders it into PNG (device pixels) and prints
// "logical <w>x<h> ratio <device pixel ratio> image <w>x<h>"; exits 0, or 1 when the window was not shown.

#include "app/DashboardView.h"
#include "app/DashboardWindowController.h"
#include "model/EbbcastAppModel.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QPixmap>
#include <QTemporaryDir>
#include <QTest>
#include <QWidget>

#include <cstdio>

using namespace Qt::StringLiterals;

int main(int argc, char* argv[])
{
    QApplication application(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: ebbcast_dashboard_probe PNG\n");
        return 1;
    }
    const QString output = QString::fromLocal8Bit(argv[1]);

    QTemporaryDir recordings;
    for (const QString& name : {u"2024-03-01_10-00-00"_s, u"2024-03-02_11-30-00"_s}) {
        QDir(recordings.path()).mkpath(name);
        QFile document(recordings.filePath(name + u"/metadata.json"_s));
        if (!document.open(QIODevice::WriteOnly) || document.write("{}") != 2)
            return 1;
    }
    ebbcast::EbbcastAppModel model(QUrl(u"http://127.0.0.1:9"_s));
    model.setState(ebbcast::EbbcastRunState::recording);
    model.setMicLevelFromRecorder(0.05);
    model.setSystemLevelFromRecorder(0.02);
    ebbcast::DashboardSources sources;
    sources.recordingsFolder = [&recordings] {
        return recordings.path();
    };
    sources.readiness = [] {
        return std::vector<ebbcast::DeviceReadiness>{{u"Screen"_s, true, u"screen (1920x1080)"_s},
                                                     {u"Microphone"_s, true, u"Built-in microphone"_s},
                                                     {u"System audio"_s, true, u"Speakers"_s},
                                                     {u"Camera"_s, false, u"No camera found."_s}};
    };
    sources.revealFolder = [](const QString&) {
    };
    ebbcast::DashboardWindowController controller(model, {}, sources);
    controller.show();
    QWidget* window = controller.window();
    if (!QTest::qWaitForWindowExposed(window))
        return 1;
    QTest::qWait(200); // the first paint of everything

    const QImage image = window->grab().toImage();
    if (!image.save(output))
        return 1;
    std::printf("logical %dx%d ratio %g image %dx%d\n", window->width(), window->height(),
                window->devicePixelRatioF(), image.width(), image.height());
    return 0;
}
