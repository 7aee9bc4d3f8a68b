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
    /// -1 before it started.
    pid_t pid() const { return pid_; }

private:
    pid_t pid_ = -1;
    int input_ = -1;
    int output_ = -1;
    std::string pending_;
};

/// The last part of a log file, to explain a helper that failed to start.
std::string readLogTail(const std::string& path);

/// Starts a server with its standard output piped and its messages in `logPath`, and waits for
/// the first line it prints, which it prints once it accepts clients. Answers that line, or
/// nothing with `error` saying why (its own messages included).
std::string startServer(ChildProcess& process, const std::vector<std::string>& argv,
                        const std::vector<std::string>& environment, const std::string& logPath,
                        std::string& error);

/// This process's environment, for a child that needs nothing changed.
std::vector<std::string> currentEnvironment();

} // namespace tovali::test
