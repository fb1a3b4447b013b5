#pragma once

#include <QString>

#include <optional>

namespace ebbcast {

// The application the user is working in, as the window system tells. Empty fields are unknown.
struct FrontmostApplication {
    QString name;
    QString identifier;
};

// Safe to call from any thread.
class FrontmostApplicationSource {
public:
    virtual ~FrontmostApplicationSource() = default;
    // Nothing when no application is frontmost or the window system cannot be asked.
    virtual std::optional<FrontmostApplication> frontmostApplication() = 0;
};

} // namespace ebbcast
