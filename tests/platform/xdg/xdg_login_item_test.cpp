#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/files/files_test_support.hpp"
#include "platform/xdg/xdg_login_item.hpp"

namespace tovali {
namespace {

using namespace files_test;

class XdgLoginItemTest : public TempFolderTest {
protected:
    std::string folder() const { return root() + "/config/autostart"; }
    std::string entry() const { return folder() + "/tovali.desktop"; }
};

TEST_F(XdgLoginItemTest,
       registerItem_thenUnregister_writesTheEntryAndRemovesIt_orReplacesADisabledOne) {
    setEnv("XDG_CONFIG_HOME", root() + "/config");
    auto item = XdgLoginItem::fromEnvironment(R"(/opt/my "apps" 100%/$HOME\tovali)");
    EXPECT_FALSE(item.isRegistered());
    ASSERT_EQ(item.registerItem(), std::nullopt);
    EXPECT_TRUE(item.isRegistered());
    // A reader undoes "\\" first, then the quoting: \" \$ \\ inside the quotes, and %% for %.
    EXPECT_EQ(readText(entry()), "[Desktop Entry]\n"
                                 "Type=Application\n"
                                 "Name=Tovali\n"
                                 "Comment=Lets your paired watch drive the pointer\n"
                                 R"(Exec="/opt/my \\"apps\\" 100%%/\\$HOME\\\\tovali")"
                                 "\n"
                                 "Icon=tovali\n"
                                 "Terminal=false\n"
                                 "X-GNOME-Autostart-enabled=true\n");
    EXPECT_EQ(entriesOf(folder()), std::set<std::string>{"tovali.desktop"});

    EXPECT_EQ(item.unregisterItem(), std::nullopt);
    EXPECT_FALSE(item.isRegistered());
    EXPECT_TRUE(entriesOf(folder()).empty());
    EXPECT_EQ(item.unregisterItem(), std::nullopt) << "an absent entry is already unregistered";

    // A disabled entry, or one that is no desktop entry, does not count; registering replaces it.
    for (const std::string text :
         {"[Desktop Entry]\nExec=tovali\nHidden=true\n",
          "[Desktop Entry]\nExec=tovali\nX-GNOME-Autostart-enabled = false\n",
          "[Other]\nExec=tovali\n", ""}) {
        writeText(entry(), text);
        EXPECT_FALSE(item.isRegistered()) << text;
        ASSERT_EQ(item.registerItem(), std::nullopt);
        EXPECT_TRUE(item.isRegistered()) << text;
    }
    // Only the entry's own group counts.
    writeText(entry(), "# mine\n[Desktop Entry]\nExec=tovali\n[Desktop Action x]\nHidden=true\n");
    EXPECT_TRUE(item.isRegistered());
}

TEST_F(XdgLoginItemTest, changes_folderNotWritableOrNoHome_sayWhyAndLeaveNothing) {
    XdgLoginItem homeless("", "/usr/bin/tovali");
    EXPECT_FALSE(homeless.isRegistered());
    EXPECT_NE(homeless.registerItem().value_or("").find("home folder"), std::string::npos);
    EXPECT_EQ(homeless.unregisterItem(), std::nullopt);
    // Root writes whatever the modes say: the rest runs as nobody, in nobody's folder.
    struct AsNobody {
        bool root = ::geteuid() == 0;
        ~AsNobody() {
            if (root && ::seteuid(0) != 0)
                std::abort();
        }
    } asNobody;
    ASSERT_TRUE(!asNobody.root ||
                (::chown(root().c_str(), 65534, 65534) == 0 && ::seteuid(65534) == 0));
    XdgLoginItem item(folder(), "/usr/bin/tovali");
    std::filesystem::create_directories(folder());
    ASSERT_EQ(::chmod(folder().c_str(), 0500), 0);
    EXPECT_EQ(item.registerItem(), "Could not write " + entry() + ": Permission denied");
    EXPECT_TRUE(entriesOf(folder()).empty());
    ASSERT_EQ(::chmod(folder().c_str(), 0700), 0);
    ASSERT_EQ(item.registerItem(), std::nullopt);
    ASSERT_EQ(::chmod(folder().c_str(), 0500), 0);
    EXPECT_EQ(item.unregisterItem(), "Could not remove " + entry() + ": Permission denied");
    EXPECT_TRUE(item.isRegistered());
    ASSERT_EQ(::chmod(folder().c_str(), 0700), 0);
}

// An entry in /etc/xdg/autostart (a package's, or an administrator's) starts Tovali for every
// user: turning "Open at login" off must hide it rather than only remove the user's own.
TEST_F(XdgLoginItemTest, systemWideEntry_isHiddenByTheUsersOwnWhenTurnedOff) {
    const std::string system = root() + "/etc/xdg/autostart";
    std::filesystem::create_directories(system);
    writeText(system + "/tovali.desktop", "[Desktop Entry]\nType=Application\nExec=tovali\n");
    XdgLoginItem item(folder(), "/usr/bin/tovali", {root() + "/elsewhere/autostart", system});
    EXPECT_TRUE(item.isRegistered()) << "the system-wide entry starts it";
    for (int twice = 0; twice < 2; ++twice) {
        EXPECT_EQ(item.unregisterItem(), std::nullopt);
        EXPECT_NE(readText(entry()).find("\nHidden=true\n"), std::string::npos) << twice;
        EXPECT_FALSE(item.isRegistered());
    }
    EXPECT_EQ(item.registerItem(), std::nullopt);
    EXPECT_TRUE(item.isRegistered());
    EXPECT_EQ(readText(entry()).find("Hidden"), std::string::npos);
    EXPECT_TRUE(std::filesystem::exists(system + "/tovali.desktop")) << "never the system's";
}

} // namespace
} // namespace tovali
