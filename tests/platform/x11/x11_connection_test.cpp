#include <gtest/gtest.h>

#include "platform/x11/x11_connection.hpp"
#include "support/xvfb_server.hpp"
#include "x11_test_client.hpp"

namespace tovali {
namespace {

TEST(X11Connection, open_noServerAtThatName_isNull) {
    EXPECT_EQ(X11Connection::open(":64999"), nullptr);
}

TEST(X11Connection, protocolError_onOwnConnection_isCountedAndProcessGoesOn) {
    test::XvfbServer server;
    ASSERT_TRUE(server.running()) << server.error();
    auto connection = X11Connection::open(server.displayName());
    ASSERT_NE(connection, nullptr);

    XDestroyWindow(connection->display(), 0x1fffff); // no such window: BadWindow
    XSync(connection->display(), False);
    EXPECT_EQ(connection->errorCount(), 1u);

    auto other = X11Connection::open(server.displayName());
    ASSERT_NE(other, nullptr);
    XSync(other->display(), False);
    EXPECT_EQ(other->errorCount(), 0u);
}

} // namespace
} // namespace tovali
