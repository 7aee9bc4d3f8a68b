#include <pwd.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "files_test_support.hpp"
#include "platform/files/file_defaults.hpp"
#include "platform/files/file_keychain.hpp"
#include "platform/files/xdg_paths.hpp"

namespace tovali {
namespace {

using namespace files_test;
using XdgPathsTest = TempFolderTest;

// A relative folder would follow the working directory, so files would seem lost.
TEST_F(XdgPathsTest, stores_onlyAbsoluteVariablesCount_elseTheHomeFolder) {
    const passwd* entry = ::getpwuid(::geteuid());
    ASSERT_NE(entry, nullptr);
    const std::optional<std::string> unset;
    const struct {
        std::optional<std::string> xdg, home;
        std::string base;
    } cases[] = {
        {root() + "/x/", root(), ""},
        {"relative/dir", root(), root()},
        {"", root(), root()},
        {unset, root(), root()},
        {unset, "relative", entry->pw_dir},
        {unset, unset, entry->pw_dir},
    };
    for (const auto& each : cases) {
        ScopedEnv home("HOME", each.home);
        ScopedEnv data("XDG_DATA_HOME", each.xdg);
        ScopedEnv config("XDG_CONFIG_HOME", each.xdg);
        const bool ownBase = each.base.empty();
        EXPECT_EQ(files::dataHome(), ownBase ? root() + "/x" : each.base + "/.local/share");
        EXPECT_EQ(files::configHome(), ownBase ? root() + "/x" : each.base + "/.config");
    }
    ScopedEnv data("XDG_DATA_HOME", root() + "/data");
    ScopedEnv config("XDG_CONFIG_HOME", root() + "/config");
    EXPECT_EQ(FileKeychain::fromEnvironment()->folder(), root() + "/data/tovali");
    EXPECT_EQ(FileDefaults::fromEnvironment()->folder(), root() + "/config/tovali");
}

} // namespace
} // namespace tovali
