// A window of moving content for screen-recording tests and benchmarks: a colour wash, a sweeping bar and a
// frame counter, repainted 30 times a second, covering the given area (default: the whole screen).
// Usage: ebbcast_test_pattern [X Y WIDTH HEIGHT]

#include <QApplication>
#include <QPainter>
#include <QScreen>
#include <QTimer>
#include <QWidget>

namespace {

class TestPattern : public QWidget {
public:
    TestPattern()
    {
        setWindowFlag(Qt::FramelessWindowHint);
        setAttribute(Qt::WA_OpaquePaintEvent);
        auto* timer = new QTimer(this);
        connect(timer, &QTimer::timeout, this, [this] {
            ++frame_;
            update();
        });
        timer->start(33);
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter painter(this);
        painter.fillRect(rect(), QColor::fromHsv(frame_ * 3 % 360, 160, 200));
        const int bar = width() / 8;
        painter.fillRect((frame_ * 16) % (width() + bar) - bar, 0, bar, height(), Qt::black);
        for (int i = 0; i < 24; ++i)
            painter.fillRect((i * 97 + frame_ * (i + 1)) % width(), (i * 53) % height(), 64, 64,
                             QColor::fromHsv(i * 15, 255, 255));
        QFont font = painter.font();
        font.setPixelSize(height() / 6);
        painter.setFont(font);
        painter.setPen(Qt::white);
        painter.drawText(rect(), Qt::AlignCenter, QString::number(frame_));
    }

private:
    int frame_ = 0;
};

} // namespace

int main(int argc, char* argv[])
{
    QApplication application(argc, argv);
    TestPattern window;
    const QStringList arguments = QApplication::arguments();
    if (arguments.size() == 5) {
        window.setGeometry(arguments[1].toInt(), arguments[2].toInt(), arguments[3].toInt(),
                           arguments[4].toInt());
        window.show();
    } else {
        window.setGeometry(QApplication::primaryScreen()->geometry());
        window.show();
    }
    return QApplication::exec();
}
