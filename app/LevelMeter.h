#pragma once

#include <QElapsedTimer>
#include <QString>
#include <QWidget>

class QTimer;

namespace ebbcast {

// A horizontal level meter: a bar filled to the value (0 to 1) in the palette's highlight colour, with the
// percentage beside it. Levels change far more often than a screen can show, so a new value is painted at
// most `maximumRepaintsPerSecond` times a second (the newest one wins), and not at all while the meter is
// hidden or its window minimized; showing it paints the current value. Assistive technologies read it as a
// progress bar with a value from 0 to 100 (QAccessibleValueInterface) and the text "<n> %". Main thread only.
class LevelMeter : public QWidget {
    Q_OBJECT

public:
    static constexpr int maximumRepaintsPerSecond = 30;

    explicit LevelMeter(QWidget* parent = nullptr);

    // Clamped to 0…1; not a number counts as 0.
    void setValue(double fraction);
    double value() const { return value_; }
    // The value in whole percent, as shown and as assistive technologies read it.
    int percent() const;
    QString valueText() const;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    bool canBeSeen() const;
    void repaintNow();

    double value_ = 0;
    int announcedPercent_ = 0;
    QTimer* throttle_;
    QElapsedTimer lastRepaint_;
};

} // namespace ebbcast
