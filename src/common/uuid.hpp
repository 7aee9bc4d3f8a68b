#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace tovali {

/// A 128-bit UUID: identifies GATT services and characteristics, and centrals.
class Uuid {
public:
    constexpr Uuid() = default;
    constexpr explicit Uuid(const std::array<std::uint8_t, 16>& bytes) : bytes_(bytes) {}

    /// The 8-4-4-4-12 form in upper case, as the platform spells UUIDs.
    std::string toString() const;

    const std::array<std::uint8_t, 16>& bytes() const { return bytes_; }

    friend bool operator==(const Uuid&, const Uuid&) = default;

private:
    std::array<std::uint8_t, 16> bytes_{};
};

} // namespace tovali

template <>
struct std::hash<tovali::Uuid> {
    std::size_t operator()(const tovali::Uuid& uuid) const noexcept;
};
