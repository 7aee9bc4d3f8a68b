#pragma once

#include <string>

#include "support/child_process.hpp"

namespace tovali::test {

/// A private D-Bus session bus for a test, never the desktop's. It activates no services, so a
/// name is owned only by what the test starts itself. When it could not start, running() is
/// false and error() says why.
class SessionBus {
public:
    /// `extraConfig` holds busconfig elements added after the permissive policy: a <servicedir>
    /// to activate services from, or a <policy> that denies some calls.
    explicit SessionBus(const std::string& extraConfig = {});
    ~SessionBus();
    SessionBus(const SessionBus&) = delete;
    SessionBus& operator=(const SessionBus&) = delete;

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
