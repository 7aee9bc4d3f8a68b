#pragma once

#include <string_view>

#include "common/bytes.hpp"

namespace tovali::test {

/// Bytes from hex written in a test; a typo is a broken test, so it fails loudly.
Bytes hex(std::string_view text);

} // namespace tovali::test
