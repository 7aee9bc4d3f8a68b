#include "link/watch_name.hpp"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <memory>

#include <unicode/ubrk.h>
#include <unicode/uchar.h>
#include <unicode/utext.h>
#include <unicode/utf8.h>

namespace tovali {

namespace {

struct BreakIteratorCloser {
    void operator()(UBreakIterator* iterator) const { ubrk_close(iterator); }
};
struct TextCloser {
    void operator()(UText* text) const { utext_close(text); }
};

/// The byte offset just past the first `count` clusters, or the whole length when the text
/// has fewer; `clusters` receives how many clusters were passed.
std::size_t clusterBoundary(std::string_view text, std::size_t count, std::size_t& clusters) {
    clusters = 0;
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<UText, TextCloser> utext(
        utext_openUTF8(nullptr, text.data(), static_cast<std::int64_t>(text.size()), &status));
    std::unique_ptr<UBreakIterator, BreakIteratorCloser> iterator(
        ubrk_open(UBRK_CHARACTER, "", nullptr, 0, &status));
    if (U_SUCCESS(status))
        ubrk_setUText(iterator.get(), utext.get(), &status);
    if (U_FAILURE(status)) {
        // ICU's rules are built into its library, so this is not expected; cutting at code
        // points still bounds the name and never splits a character's bytes.
        std::size_t offset = 0;
        while (offset < text.size() && clusters < count) {
            ++offset;
            while (offset < text.size() && U8_IS_TRAIL(text[offset]))
                ++offset;
            ++clusters;
        }
        return offset;
    }
    // On a UTF-8 UText the iterator reports byte offsets.
    std::int32_t boundary = ubrk_first(iterator.get());
    std::size_t offset = 0;
    while (clusters < count && (boundary = ubrk_next(iterator.get())) != UBRK_DONE) {
        offset = static_cast<std::size_t>(boundary);
        ++clusters;
    }
    return offset;
}

} // namespace

std::string decodeUtf8Lossy(ByteView bytes) {
    // Names arrive in one write batch, far below this; a larger input is cut rather than
    // overflowing ICU's 32-bit indexes.
    const auto length = static_cast<std::int32_t>(
        std::min<std::size_t>(bytes.size(), std::numeric_limits<std::int32_t>::max()));
    std::string out;
    out.reserve(static_cast<std::size_t>(length));
    std::int32_t i = 0;
    while (i < length) {
        UChar32 c = 0;
        // Substitutes one U+FFFD per maximal ill-formed subpart, the Unicode recommended practice.
        U8_NEXT_OR_FFFD(bytes.data(), i, length, c);
        std::uint8_t encoded[U8_MAX_LENGTH];
        std::int32_t encodedLength = 0;
        U8_APPEND_UNSAFE(encoded, encodedLength, static_cast<std::uint32_t>(c));
        out.append(reinterpret_cast<const char*>(encoded), static_cast<std::size_t>(encodedLength));
    }
    return out;
}

std::size_t graphemeCount(std::string_view text) {
    std::size_t clusters = 0;
    clusterBoundary(text, std::numeric_limits<std::size_t>::max(), clusters);
    return clusters;
}

std::string firstGraphemes(std::string_view text, std::size_t count) {
    std::size_t clusters = 0;
    return std::string(text.substr(0, clusterBoundary(text, count, clusters)));
}

std::string watchNameFromBytes(ByteView bytes) {
    return firstGraphemes(decodeUtf8Lossy(bytes), maxWatchNameLength);
}

} // namespace tovali

namespace tovali {

std::string shownName(std::string_view name) {
    const auto length = static_cast<std::int32_t>(
        std::min<std::size_t>(name.size(), std::numeric_limits<std::int32_t>::max()));
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(name.data());
    std::string out;
    out.reserve(static_cast<std::size_t>(length));
    std::int32_t i = 0;
    while (i < length) {
        UChar32 c = 0;
        U8_NEXT_OR_FFFD(bytes, i, length, c);
        switch (u_charType(c)) {
        case U_CONTROL_CHAR:
        case U_FORMAT_CHAR:
        case U_LINE_SEPARATOR:
        case U_PARAGRAPH_SEPARATOR:
            continue;
        default: {
            std::uint8_t encoded[U8_MAX_LENGTH];
            std::int32_t encodedLength = 0;
            U8_APPEND_UNSAFE(encoded, encodedLength, static_cast<std::uint32_t>(c));
            out.append(reinterpret_cast<const char*>(encoded),
                       static_cast<std::size_t>(encodedLength));
        }
        }
    }
    return out;
}

} // namespace tovali
