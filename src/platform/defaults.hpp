#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "common/bytes.hpp"

namespace tovali {

/// The application's per-user settings: byte values under names, kept across restarts.
class Defaults {
public:
    virtual ~Defaults() = default;

    /// The bytes stored under `name`, or nothing when there are none.
    virtual std::optional<Bytes> data(std::string_view name) = 0;
    /// Replaces the bytes under `name` as a whole; returns whether they were stored.
    virtual bool setData(std::string_view name, ByteView bytes) = 0;
    /// Where the value under `name` lives, for a person looking for it.
    virtual std::string location(std::string_view name) const = 0;
};

} // namespace tovali
