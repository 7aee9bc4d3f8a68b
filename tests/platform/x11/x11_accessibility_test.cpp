#include <memory>

#include <gtest/gtest.h>

#include "platform/x11/x11_accessibility.hpp"
#include "platform/x11/x11_connection.hpp"
#include "support/xvfb_server.hpp"

namespace tovali {
namespace {

TEST(X11Accessibility, onXvfb_isTrustedAndHasNothingToOpen) {
    test::XvfbServer server;
    ASSERT_TRUE(server.running()) << server.error();
    auto connection = X11Connection::open(server.displayName());
    ASSERT_NE(connection, nullptr);
    X11Accessibility accessibility(*connection);
    EXPECT_TRUE(accessibility.isProcessTrusted());
    accessibility.promptForPermission();
    accessibility.openSettings();
    EXPECT_EQ(accessibility.settingsListName(), "Accessibility");
    EXPECT_EQ(connection->errorCount(), 0u);
}

} // namespace
} // namespace tovali
