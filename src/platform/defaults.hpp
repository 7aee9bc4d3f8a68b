#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "common/bytes.hpp"

namespace tovali {

/// What is stored under a name: its bytes, nothing, or something that is there but cannot be
/// read. The last must never be taken for nothing, or the next write would replace it.
struct StoredValue {
    std::optional<Bytes> bytes;
    /// Why a value that is there could not be read; empty when it was read or is absent.
    std::string unreadable;
};

/// The application's per-user settings: byte values under names, kept across restarts.
class Defaults {
public:
    virtual ~Defaults() = default;

    virtual StoredValue read(std::string_view name) = 0;
    /// Replaces the bytes under `name` as a whole; none when they were stored, else why not.
    virtual std::optional<std::string> write(std::string_view name, ByteView bytes) = 0;
    /// Where the value under `name` lives, for a person looking for it.
    virtual std::string location(std::string_view name) const = 0;

    /// The bytes stored under `name`, or nothing when there are none or they cannot be read.
    std::optional<Bytes> data(std::string_view name) { return read(name).bytes; }
    bool setData(std::string_view name, ByteView bytes) { return !write(name, bytes); }
};

} // namespace tovali
