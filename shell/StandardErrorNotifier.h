#pragma once

#include "core/base/UserNotifier.h"

#include <QByteArray>

#include <functional>

namespace ebbcast {

// Notifications as lines on standard error, for a process without a desktop: "Ebbcast: <title>: <body>", line
// breaks inside the title or body turned into spaces so that each notification stays one line.
class StandardErrorNotifier final : public UserNotifier {
public:
    // Receives each line, UTF-8 with its trailing newline. The default writes it to standard error.
    using LineWriter = std::function<void(const QByteArray&)>;

    explicit StandardErrorNotifier(LineWriter writeLine = {});

    void showNotification(const QString& title, const QString& body, Kind kind) override;

private:
    LineWriter writeLine_;
};

} // namespace ebbcast
