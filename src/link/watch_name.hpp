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

/// A watch's name as it may be kept: decoded, then cut to 40 clusters.
std::string watchNameFromBytes(ByteView bytes);

/// A name as it may be shown: without control characters, format characters (bidi controls,
/// zero-width characters, the byte order mark) and line or paragraph separators, which would
/// let a name pose as another or rearrange what is around it. Well-formed UTF-8 in and out.
std::string shownName(std::string_view name);

} // namespace tovali
