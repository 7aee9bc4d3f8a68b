#pragma once

#include <stdexcept>
#include <string_view>

#include "common/bytes.hpp"

namespace tovali::test {

/// Bytes from hex written in a test; a typo is a broken test, so it fails loudly.
Bytes hex(std::string_view text);

template <std::size_t N>
FixedBytes<N> hexFixed(std::string_view text) {
    auto fixed = fixedBytes<N>(hex(text));
    if (!fixed)
        throw std::invalid_argument("hex of the wrong length in a test");
    return *fixed;
}

} // namespace tovali::test
