#pragma once

#include <string_view>

namespace tovali {

/// The system's log, for the rare failure nobody is watching for.
class SystemLog {
public:
    virtual ~SystemLog() = default;

    /// Writes one line as it is, with no formatting applied.
    virtual void write(std::string_view line) = 0;
};

} // namespace tovali
