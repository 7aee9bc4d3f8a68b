#pragma once

#include <optional>
#include <string>

namespace tovali {

/// Whether the application opens when the user logs in.
class LoginItem {
public:
    virtual ~LoginItem() = default;

    virtual bool isRegistered() = 0;
    /// None on success, else a readable description of what went wrong.
    virtual std::optional<std::string> registerItem() = 0;
    virtual std::optional<std::string> unregisterItem() = 0;
};

} // namespace tovali
