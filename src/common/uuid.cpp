#include "common/uuid.hpp"

#include "common/bytes.hpp"

namespace tovali {

namespace {
constexpr std::size_t textLength = 36;

bool isDashPosition(std::size_t i) {
    return i == 8 || i == 13 || i == 18 || i == 23;
}
} // namespace

std::optional<Uuid> Uuid::parse(std::string_view text) {
    if (text.size() != textLength)
        return std::nullopt;
    std::array<std::uint8_t, 16> bytes{};
    std::size_t nibble = 0;
    for (std::size_t i = 0; i < textLength; ++i) {
        if (isDashPosition(i)) {
            if (text[i] != '-')
                return std::nullopt;
            continue;
        }
        int value = hexDigitValue(text[i]);
        if (value < 0)
            return std::nullopt;
        auto& byte = bytes[nibble / 2];
        byte = static_cast<std::uint8_t>(nibble % 2 == 0 ? value << 4 : byte | value);
        ++nibble;
    }
    return Uuid(bytes);
}

std::string Uuid::toString() const {
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(textLength);
    for (std::size_t i = 0; i < bytes_.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10)
            out.push_back('-');
        out.push_back(digits[bytes_[i] >> 4]);
        out.push_back(digits[bytes_[i] & 0x0f]);
    }
    return out;
}

} // namespace tovali

std::size_t std::hash<tovali::Uuid>::operator()(const tovali::Uuid& uuid) const noexcept {
    // FNV-1a: UUIDs are already well mixed, this only folds them to a word.
    std::uint64_t folded = 14695981039346656037ull;
    for (std::uint8_t byte : uuid.bytes()) {
        folded ^= byte;
        folded *= 1099511628211ull;
    }
    return static_cast<std::size_t>(folded);
}
