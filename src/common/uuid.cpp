#include "common/uuid.hpp"

namespace tovali {

std::string Uuid::toString() const {
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(36);
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
