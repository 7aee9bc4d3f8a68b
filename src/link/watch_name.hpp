#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "common/bytes.hpp"

namespace tovali {

/// The longest name a watch may show itself with, in extended grapheme clusters.
inline constexpr std::size_t maxWatchNameLength = 40;

/// Decodes UTF-8, putting one U+FFFD in place of each maximal ill-formed subpart.
/// Never fails; the result is well-formed UTF-8.
std::string decodeUtf8Lossy(ByteView bytes);

/// The number of extended grapheme clusters in well-formed UTF-8.
std::size_t graphemeCount(std::string_view text);

/// The first `count` extended grapheme clusters of well-formed UTF-8.
std::string firstGraphemes(std::string_view text, std::size_t count);

/// A watch's name as it may be kept and shown: decoded, then cut to 40 clusters.
std::string watchNameFromBytes(ByteView bytes);

} // namespace tovali
