#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "platform/files/files_test_support.hpp"
#include "platform/xdg/xdg_login_item.hpp"

namespace tovali {
namespace {

using namespace files_test;

// An entry in /etc/xdg/autostart (a package's, or an administrator's) starts Tovali for every
// user: turning "Open at login" off must hide it rather than only remove the user's own.
TEST_F(TempFolderTest, loginItem_systemWideEntry_isHiddenByTheUsersOwnWhenTurnedOff) {
    const std::string user = root() + "/config/autostart";
    const std::string system = root() + "/etc/xdg/autostart";
    std::filesystem::create_directories(system);
    writeText(system + "/tovali.desktop", "[Desktop Entry]\nType=Application\nExec=tovali\n");
    XdgLoginItem item(user, "/usr/bin/tovali", {root() + "/elsewhere/autostart", system});
    EXPECT_TRUE(item.isRegistered()) << "the system-wide entry starts it";

    EXPECT_EQ(item.unregisterItem(), std::nullopt);
    const std::string hidden = readText(user + "/tovali.desktop");
    EXPECT_NE(hidden.find("\nHidden=true\n"), std::string::npos) << hidden;
    EXPECT_FALSE(item.isRegistered());
    EXPECT_EQ(item.unregisterItem(), std::nullopt) << "turning it off twice";
    EXPECT_FALSE(item.isRegistered());

    EXPECT_EQ(item.registerItem(), std::nullopt);
    EXPECT_TRUE(item.isRegistered());
    EXPECT_EQ(readText(user + "/tovali.desktop").find("Hidden"), std::string::npos);
    EXPECT_TRUE(std::filesystem::exists(system + "/tovali.desktop")) << "never the system's";
}

} // namespace
} // namespace tovali
