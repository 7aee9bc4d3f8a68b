#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "link/watch_name.hpp"

namespace tovali {
namespace {

// The strings that make one name pass for another or break out of its line lose exactly the
// characters that do it; letters, emoji and marks stay.
TEST(ShownName, spoofingCharacters_areRemovedAndTheRestKept) {
    const std::vector<std::pair<std::string, std::string>> cases{
        {"Ada\u202E hctaw", "Ada hctaw"},                       // right-to-left override
        {"\u2066Ada\u2067\u2068's\u2069 watch", "Ada's watch"}, // isolates
        {"A\u200Bd\u200Ca\u200D\u200E\u200F", "Ada"},           // zero-width, marks
        {"\uFEFFAda", "Ada"},                                   // byte order mark
        {"Ada\u2028Paired watches\u2029", "AdaPaired watches"}, // separators
        {"Ada\n\r\t\x7F\u0085!", "Ada!"},                       // controls, C0 and C1
        {"Zoë \u5F71 \xF0\x9F\x90\xB1 e\u0301", "Zoë \u5F71 \xF0\x9F\x90\xB1 e\u0301"},
        {"\u202E\u200B", ""},
    };
    for (const auto& [name, shown] : cases) {
        EXPECT_EQ(shownName(name), shown) << name;
    }
}

} // namespace
} // namespace tovali
