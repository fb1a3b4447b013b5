#include "core/base/RetryTimer.h"

#include <QTimer>

namespace ebbcast {

struct QtRetryTimer::Entry {
    std::unique_ptr<QTimer> timer;
    std::function<void()> fire;
};

QtRetryTimer::QtRetryTimer() = default;
QtRetryTimer::~QtRetryTimer() = default;

RetryTimer::Id QtRetryTimer::start(std::chrono::milliseconds delay, std::function<void()> fire)
{
    const Id id = nextID_++;
    auto entry = std::make_unique<Entry>();
    entry->timer = std::make_unique<QTimer>();
    entry->timer->setSingleShot(true);
    entry->timer->setTimerType(Qt::PreciseTimer);
    entry->fire = std::move(fire);
    QObject::connect(entry->timer.get(), &QTimer::timeout, &context_, [this, id] {
        auto found = entries_.find(id);
        if (found == entries_.end())
            return;
        // The entry leaves the map before the callback runs, so that the callback may start or cancel
        // retries; the timer itself is deleted once control is back in the event loop.
        std::unique_ptr<Entry> due = std::move(found->second);
        entries_.erase(found);
        due->timer.release()->deleteLater();
        due->fire();
    });
    entry->timer->start(delay);
    entries_.emplace(id, std::move(entry));
    return id;
}

void QtRetryTimer::cancel(Id id)
{
    entries_.erase(id);
}

} // namespace ebbcast
