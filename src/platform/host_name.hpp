#pragma once

#include <functional>
#include <optional>
#include <string>

#include "common/published.hpp"

namespace tovali {

/// The computer's name as the user knows it.
class HostName {
public:
    virtual ~HostName() = default;

    /// The user-visible name, or none when the system gives none.
    virtual std::optional<std::string> localizedName() = 0;
    /// False while the system is still being asked for the name, which may differ from the
    /// stand-in given until then.
    virtual bool isKnown() { return true; }
    /// Calls back on the main loop when the name has become known or has changed, until the
    /// subscription is dropped. A source that cannot tell never calls.
    virtual Subscription whenChanged(std::function<void()> changed) {
        static_cast<void>(changed);
        return {};
    }
};

} // namespace tovali
