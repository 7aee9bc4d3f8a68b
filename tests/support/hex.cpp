#include "support/hex.hpp"

#include <stdexcept>

namespace tovali::test {

Bytes hex(std::string_view text) {
    auto bytes = fromHex(text);
    if (!bytes)
        throw std::invalid_argument("malformed hex in a test");
    return *bytes;
}

} // namespace tovali::test
