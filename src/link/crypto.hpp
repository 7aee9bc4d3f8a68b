#pragma once

#include <array>
#include <cstddef>
#include <initializer_list>
#include <optional>

#include "common/bytes.hpp"

// The standard primitives the link protocol rests on. Only crypto.cpp sees OpenSSL.

namespace tovali::crypto {

/// A validated P-256 public key, kept in its X9.63 form.
class PublicKey {
public:
    /// Accepts exactly 65 bytes, 0x04 then X and Y, that lie on the curve; nothing else.
    static std::optional<PublicKey> fromX963(ByteView bytes);

    const PublicKeyBytes& x963() const { return bytes_; }

private:
    explicit PublicKey(const PublicKeyBytes& bytes) : bytes_(bytes) {}
    PublicKeyBytes bytes_;
};

/// A P-256 private key: its scalar and, computed once, its public key.
class PrivateKey {
public:
    /// A new key from the system's secure random source.
    static PrivateKey generate();
    /// Accepts exactly 32 bytes whose big-endian value lies in 1 to n-1.
    static std::optional<PrivateKey> fromRaw(ByteView bytes);

    PrivateKey(const PrivateKey&) = default;
    PrivateKey& operator=(const PrivateKey&) = default;
    ~PrivateKey();

    /// The 32-byte big-endian scalar.
    const SymmetricKey& raw() const { return scalar_; }
    /// The public half in X9.63 form.
    const PublicKeyBytes& publicKey() const { return public_; }

private:
    PrivateKey(const SymmetricKey& scalar, const PublicKeyBytes& publicKey)
        : scalar_(scalar), public_(publicKey) {}
    SymmetricKey scalar_;
    PublicKeyBytes public_;
};

/// The ECDH shared secret (the X coordinate of the product point), or none on failure.
std::optional<FixedBytes<32>> ecdh(const PrivateKey& privateKey, const PublicKey& publicKey);

/// HKDF-SHA-256 (RFC 5869) with a 32-byte output.
std::optional<FixedBytes<32>> hkdfSha256(ByteView secret, ByteView salt, ByteView info);

/// SHA-256 of the concatenation of the parts.
Digest sha256(std::initializer_list<ByteView> parts);

/// HMAC-SHA-256 (RFC 2104), keyed once and then applied to any number of messages.
/// Holds the hash states after the inner and outer pads, so each message costs two
/// compressions, no allocation, and a copy is a plain memory copy.
class HmacSha256 {
public:
    explicit HmacSha256(ByteView key);
    HmacSha256(const HmacSha256&) = default;
    HmacSha256& operator=(const HmacSha256&) = default;
    ~HmacSha256();

    /// The full 32-byte tag of one message.
    Digest tag(ByteView message) const;

private:
    // Room for two SHA-256 states; crypto.cpp checks that it fits.
    static constexpr std::size_t stateSize = 112;
    alignas(8) std::array<std::byte, stateSize> inner_{};
    alignas(8) std::array<std::byte, stateSize> outer_{};
};

/// Overwrites secret bytes in a way the compiler may not drop.
void cleanse(std::span<std::uint8_t> secret);

/// Fills the buffer from the system's secure random source.
void randomBytes(std::span<std::uint8_t> out);

} // namespace tovali::crypto
