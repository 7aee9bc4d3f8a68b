#pragma once

#include <string>

#include "support/child_process.hpp"

namespace tovali::test {

/// A private D-Bus session bus for a test, never the desktop's. It activates no services, so a
/// name is owned only by what the test starts itself. When it could not start, running() is
/// false and error() says why.
class SessionBus {
public:
    SessionBus();

    bool running() const { return !address_.empty(); }
    /// For DBUS_SESSION_BUS_ADDRESS.
    const std::string& address() const { return address_; }
    const std::string& error() const { return error_; }

private:
    TemporaryFolder folder_{"tovali-bus"};
    ChildProcess daemon_;
    std::string address_;
    std::string error_;
};

} // namespace tovali::test
