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

TEST_F(XdgPathsTest, baseFolders_absoluteVariables_areUsed) {
    ScopedEnv data("XDG_DATA_HOME", root() + "/data/");
    ScopedEnv config("XDG_CONFIG_HOME", root() + "/config");
    EXPECT_EQ(files::dataHome(), root() + "/data");
    EXPECT_EQ(files::configHome(), root() + "/config");
}

TEST_F(XdgPathsTest, baseFolders_relativeEmptyOrUnsetVariables_fallBackUnderHome) {
    ScopedEnv home("HOME", root());
    for (std::optional<std::string> value :
         {std::optional<std::string>("relative/dir"), std::optional<std::string>(""),
          std::optional<std::string>()}) {
        ScopedEnv data("XDG_DATA_HOME", value);
        ScopedEnv config("XDG_CONFIG_HOME", value);
        EXPECT_EQ(files::dataHome(), root() + "/.local/share");
        EXPECT_EQ(files::configHome(), root() + "/.config");
    }
}

TEST_F(XdgPathsTest, homeFolder_relativeOrUnsetHome_isTheUsersDatabaseEntry) {
    const passwd* entry = ::getpwuid(::geteuid());
    ASSERT_NE(entry, nullptr);
    for (std::optional<std::string> value :
         {std::optional<std::string>("relative"), std::optional<std::string>()}) {
        ScopedEnv home("HOME", value);
        EXPECT_EQ(files::homeFolder(), std::string(entry->pw_dir));
    }
}

TEST_F(XdgPathsTest, fromEnvironment_storesInTovaliFoldersOfTheBaseFolders) {
    ScopedEnv data("XDG_DATA_HOME", root() + "/data");
    ScopedEnv config("XDG_CONFIG_HOME", root() + "/config");
    auto keychain = FileKeychain::fromEnvironment();
    auto defaults = FileDefaults::fromEnvironment();
    ASSERT_TRUE(keychain && defaults);
    ASSERT_EQ(keychain->add({"s", "a", KeychainVariant::legacy}, asBytes("x")),
              KeychainResult::success);
    EXPECT_EQ(modeOf(root() + "/data/tovali/s.a.secret"), 0600);
    ASSERT_TRUE(defaults->setData("name", asBytes("x")));
    EXPECT_EQ(defaults->location("name"), root() + "/config/tovali/name");
    EXPECT_EQ(modeOf(root() + "/config/tovali/name"), 0600);
}

} // namespace
} // namespace tovali
