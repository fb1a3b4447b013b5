#pragma once

#include <QUrl>

#include <functional>

namespace ebbcast {

// Shows a web page to the user. Throws EbbcastError when it cannot.
using BrowserOpener = std::function<void(const QUrl&)>;

// The desktop's default browser: `xdg-open URL`, started detached (its exit is not awaited; the browser may
// outlive this process). Throws EbbcastError when xdg-open cannot be started.
void openInSystemBrowser(const QUrl& url);

} // namespace ebbcast
