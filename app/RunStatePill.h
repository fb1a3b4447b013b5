#pragma once

#include "model/EbbcastRunState.h"

#include <QColor>
#include <QLabel>

namespace ebbcast {

// The run state's name on a rounded pill of the state's colour: grey idle, red recording, amber paused or
// during a wrap-up note, blue while delivering or processing, green when done, dark red on an error. The text
// is white or near-black, whichever stands out more (4.5:1 or more for every state). Assistive technologies
// read "Run state: <name>". Main thread only.
class RunStatePill : public QLabel {
    Q_OBJECT

public:
    struct Colours {
        QColor fill;
        QColor text;
    };
    static Colours colours(EbbcastRunState state);

    explicit RunStatePill(QWidget* parent = nullptr);

    void setState(EbbcastRunState state);
    EbbcastRunState state() const { return state_; }

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    EbbcastRunState state_ = EbbcastRunState::idle;
};

} // namespace ebbcast
