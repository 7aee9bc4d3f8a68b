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
    std::optional<std::string> registerItem() override { return change(true); }
    std::optional<std::string> unregisterItem() override { return change(false); }

    bool registered = false;
    std::optional<std::string> registerError;
    std::optional<std::string> unregisterError;
    std::vector<std::string> calls;

private:
    std::optional<std::string> change(bool to) {
        calls.push_back(to ? "register" : "unregister");
        const auto& error = to ? registerError : unregisterError;
        if (!error)
            registered = to;
        return error;
    }
};

} // namespace tovali::test
