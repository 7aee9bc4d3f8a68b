#pragma once

#include <string>
#include <sys/types.h>

namespace tovali::test {

/// A private X server (Xvfb) for a test, never the desktop's. It runs from construction until
/// destruction; when it could not start, running() is false and error() says why.
class XvfbServer {
public:
    explicit XvfbServer(int width = 1024, int height = 768);
    ~XvfbServer();
    XvfbServer(const XvfbServer&) = delete;
    XvfbServer& operator=(const XvfbServer&) = delete;

    bool running() const { return pid_ > 0; }
    /// ":N", for XOpenDisplay.
    const std::string& displayName() const { return displayName_; }
    const std::string& error() const { return error_; }

private:
    /// Waits for the server to end (asking it first when terminate is set), killing it after a
    /// time-out; returns its wait status.
    int stop(bool terminate);

    pid_t pid_ = -1;
    std::string displayName_;
    std::string error_;
};

} // namespace tovali::test
