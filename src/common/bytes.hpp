#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tovali {

/// A byte string of any length, as it travels or is stored.
using Bytes = std::vector<std::uint8_t>;
/// A read-only view of bytes owned elsewhere.
using ByteView = std::span<const std::uint8_t>;

template <std::size_t N>
using FixedBytes = std::array<std::uint8_t, N>;

/// A P-256 public key in the uncompressed X9.63 form: 0x04, X, Y.
using PublicKeyBytes = FixedBytes<65>;
/// Pairing nonces and session salts.
using Nonce = FixedBytes<16>;
/// SHA-256 digests: commitments and code digests.
using Digest = FixedBytes<32>;
/// HMAC and session keys.
using SymmetricKey = FixedBytes<32>;

inline ByteView asBytes(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

inline Bytes toBytes(ByteView view) {
    return {view.begin(), view.end()};
}

/// The first N bytes of a view that holds exactly N bytes, or none.
template <std::size_t N>
std::optional<FixedBytes<N>> fixedBytes(ByteView view) {
    if (view.size() != N)
        return std::nullopt;
    FixedBytes<N> out{};
    std::copy(view.begin(), view.end(), out.begin());
    return out;
}

/// The value of one hexadecimal digit of either case, or -1.
int hexDigitValue(char c);

/// Lower-case hexadecimal, two digits a byte.
std::string toHex(ByteView bytes);
/// Hexadecimal of either case with an even number of digits, or none.
std::optional<Bytes> fromHex(std::string_view hex);

} // namespace tovali
