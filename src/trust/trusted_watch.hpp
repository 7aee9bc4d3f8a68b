#pragma once

#include <optional>
#include <string>
#include <vector>

#include "common/bytes.hpp"

namespace tovali {

/// A watch the user approved, identified by its long-term public key.
struct TrustedWatch {
    /// The P-256 public key in X9.63 form, 65 bytes.
    Bytes key;
    std::string name;
    /// When the user approved it, in seconds since 2001-01-01 00:00:00 UTC.
    double pairedAt = 0.0;
    friend bool operator==(const TrustedWatch&, const TrustedWatch&) = default;
};

/// The stored form of a list: compact JSON, members in the order key, name, pairedAt, the key in
/// padded Base64, every "/" escaped, and pairedAt in its shortest form that reads back exactly.
/// Nothing when a time stamp is not a finite number, which JSON cannot hold.
std::optional<std::string> encodeTrustedWatches(const std::vector<TrustedWatch>& watches);

/// Reads a stored list, taking any member order, white space, escaped or plain slashes and
/// unknown members. One malformed element fails the whole list. Keys are not checked here.
std::optional<std::vector<TrustedWatch>> decodeTrustedWatches(ByteView stored);

} // namespace tovali
