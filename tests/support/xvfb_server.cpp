#include "support/xvfb_server.hpp"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace tovali::test {
namespace {

constexpr auto startTimeout = std::chrono::seconds(10);
constexpr auto stopTimeout = std::chrono::seconds(3);

std::string systemError(const char* what) {
    return std::string(what) + ": " + std::strerror(errno);
}

// Xvfb's own messages go to this file, and are shown only when it fails to start.
std::string readLog(int fd) {
    std::string text;
    char buffer[4096];
    lseek(fd, 0, SEEK_SET);
    for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;)
        text.append(buffer, static_cast<std::size_t>(n));
    constexpr std::size_t tail = 2000;
    return text.size() > tail ? text.substr(text.size() - tail) : text;
}

std::string describeExit(int status) {
    if (WIFEXITED(status))
        return "Xvfb exited with status " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status))
        return "Xvfb was killed by signal " + std::to_string(WTERMSIG(status));
    return "Xvfb stopped";
}

class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    void reset() {
        if (fd_ >= 0)
            close(fd_);
        fd_ = -1;
    }

private:
    int fd_;
};

} // namespace

XvfbServer::XvfbServer(int width, int height) {
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) {
        error_ = systemError("pipe2");
        return;
    }
    Fd readEnd(pipeFds[0]);
    Fd writeEnd(pipeFds[1]);

    char logPath[] = "/tmp/tovali-xvfb-XXXXXX";
    Fd log(mkostemp(logPath, O_CLOEXEC));
    if (log.get() < 0) {
        error_ = systemError("mkostemp");
        return;
    }
    unlink(logPath);

    // Built before fork: the child may only make async-signal-safe calls.
    std::string fdArgument = std::to_string(writeEnd.get());
    std::string screen = std::to_string(width) + "x" + std::to_string(height) + "x24";
    std::vector<const char*> argv = {"Xvfb",     "-displayfd",   fdArgument.c_str(), "-screen",
                                     "0",        screen.c_str(), "-nolisten",        "tcp",
                                     "-noreset", nullptr};
    pid_t parent = getpid();

    pid_t pid = fork();
    if (pid < 0) {
        error_ = systemError("fork");
        return;
    }
    if (pid == 0) {
        // A test that dies must not leave its server running.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent)
            _exit(127);
        fcntl(writeEnd.get(), F_SETFD, 0);
        dup2(log.get(), STDOUT_FILENO);
        dup2(log.get(), STDERR_FILENO);
        execvp("Xvfb", const_cast<char* const*>(argv.data()));
        const char message[] = "cannot run Xvfb from PATH\n";
        [[maybe_unused]] auto written = write(STDERR_FILENO, message, sizeof message - 1);
        _exit(127);
    }
    pid_ = pid;
    writeEnd.reset();

    // Xvfb writes the display number it chose, then a newline, once it accepts clients.
    std::string number;
    auto deadline = std::chrono::steady_clock::now() + startTimeout;
    while (number.empty() || number.back() != '\n') {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd readable{readEnd.get(), POLLIN, 0};
        int ready = left.count() > 0 ? poll(&readable, 1, static_cast<int>(left.count())) : 0;
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0) {
            error_ = ready == 0 ? "Xvfb did not become ready within 10 s" : systemError("poll");
            break;
        }
        char buffer[32];
        ssize_t n = read(readEnd.get(), buffer, sizeof buffer);
        if (n <= 0) {
            error_ = describeExit(stop(false));
            break;
        }
        number.append(buffer, static_cast<std::size_t>(n));
    }

    if (error_.empty()) {
        displayName_ = ":" + number.substr(0, number.size() - 1);
        return;
    }
    std::string output = readLog(log.get());
    if (!output.empty())
        error_ += "; its output:\n" + output;
    stop(true);
}

XvfbServer::~XvfbServer() {
    stop(true);
}

int XvfbServer::stop(bool terminate) {
    int status = 0;
    if (pid_ <= 0)
        return status;
    if (terminate)
        kill(pid_, SIGTERM);
    auto deadline = std::chrono::steady_clock::now() + stopTimeout;
    while (waitpid(pid_, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    pid_ = -1;
    return status;
}

} // namespace tovali::test
