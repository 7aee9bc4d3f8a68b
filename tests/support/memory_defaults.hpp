#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/defaults.hpp"
#include "platform/system_log.hpp"

namespace tovali::test {

/// Defaults in a map, recording every write; a test can make writes under some names fail.
class MemoryDefaults : public Defaults {
public:
    StoredValue read(std::string_view name) override {
        const auto found = values.find(std::string(name));
        return {found == values.end() ? std::nullopt : std::optional<Bytes>(found->second), {}};
    }
    std::optional<std::string> write(std::string_view name, ByteView bytes) override {
        writes.emplace_back(name);
        if (writeFails && writeFails(name)) {
            return "No space left on device";
        }
        values[std::string(name)] = Bytes(bytes.begin(), bytes.end());
        return std::nullopt;
    }
    std::string location(std::string_view name) const override {
        return "/config/tovali/" + std::string(name);
    }

    std::map<std::string, Bytes, std::less<>> values;
    std::vector<std::string> writes;
    /// When set, writes of the names it accepts fail.
    std::function<bool(std::string_view name)> writeFails;
};

/// Keeps the lines written to the log.
class CapturedLog : public SystemLog {
public:
    void write(std::string_view line) override { lines.emplace_back(line); }
    std::vector<std::string> lines;
};

} // namespace tovali::test
