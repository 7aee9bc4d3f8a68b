#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "common/bytes.hpp"

namespace tovali {

/// Standard Base64 (RFC 4648, "+" and "/", with "=" padding, no line breaks).
std::string base64Encode(ByteView bytes);
/// Strict: only the alphabet, a length that is a multiple of four, padding only at the end.
std::optional<Bytes> base64Decode(std::string_view text);

} // namespace tovali
