#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/login_item.hpp"

namespace tovali::test {

/// A login item whose changes succeed or fail as the test says.
class ScriptedLoginItem : public LoginItem {
public:
    bool isRegistered() override { return registered; }
    std::optional<std::string> registerItem() override {
        calls.push_back("register");
        if (registerError)
            return registerError;
        registered = true;
        return std::nullopt;
    }
    std::optional<std::string> unregisterItem() override {
        calls.push_back("unregister");
        if (unregisterError)
            return unregisterError;
        registered = false;
        return std::nullopt;
    }

    bool registered = false;
    std::optional<std::string> registerError;
    std::optional<std::string> unregisterError;
    std::vector<std::string> calls;
};

} // namespace tovali::test
