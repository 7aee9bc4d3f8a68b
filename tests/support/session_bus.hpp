#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

namespace tovali::test {

/// A folder of a test's own under /tmp, removed with its contents on destruction. Kept short so
/// that socket paths inside it fit a sockaddr_un.
class TemporaryFolder {
public:
    explicit TemporaryFolder(const std::string& prefix);
    ~TemporaryFolder();
    TemporaryFolder(const TemporaryFolder&) = delete;
    TemporaryFolder& operator=(const TemporaryFolder&) = delete;

    /// Empty when the folder could not be made.
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

/// A program a test started. It dies with the test, and is ended (SIGTERM, then SIGKILL after a
/// time-out) on destruction.
class ChildProcess {
public:
    ChildProcess() = default;
    ~ChildProcess() { stop(); }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    /// Starts argv[0], found on PATH, with exactly `environment`. Its standard error, and its
    /// standard output unless piped, go to `outputFd`. Answers why it could not start, or empty.
    std::string start(const std::vector<std::string>& argv,
                      const std::vector<std::string>& environment, int outputFd, bool pipeInput,
                      bool pipeOutput);
    /// Reads one line of the piped standard output, without its newline; empty on end of file or
    /// after `timeoutMs`.
    std::string readLine(int timeoutMs);
    /// Writes `text` to the piped standard input and closes it.
    bool writeInputAndClose(const std::string& text);
    /// How it ended, when it has ended on its own; empty while it runs.
    std::string exitDescription();
    void stop();

private:
    pid_t pid_ = -1;
    int input_ = -1;
    int output_ = -1;
    std::string pending_;
};

/// The last part of a log file, to explain a helper that failed to start.
std::string readLogTail(const std::string& path);

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
