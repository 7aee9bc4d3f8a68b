#pragma once

#include <optional>
#include <string>

namespace tovali {

/// The computer's name as the user knows it.
class HostName {
public:
    virtual ~HostName() = default;

    /// The user-visible name, or none when the system gives none.
    virtual std::optional<std::string> localizedName() = 0;
};

} // namespace tovali
