#pragma once

#include <string>

#include "support/child_process.hpp"

namespace tovali::test {

/// A private X server (Xvfb) for a test, never the desktop's. It runs from construction until
/// destruction; when it could not start, running() is false and error() says why.
class XvfbServer {
public:
    explicit XvfbServer(int width = 1024, int height = 768);

    bool running() const { return !displayName_.empty(); }
    /// ":N", for XOpenDisplay.
    const std::string& displayName() const { return displayName_; }
    const std::string& error() const { return error_; }

private:
    TemporaryFolder folder_{"tovali-xvfb"};
    ChildProcess server_;
    std::string displayName_;
    std::string error_;
};

} // namespace tovali::test
