#include "support/child_process.hpp"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <glib.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace tovali::test {
namespace {

constexpr int startTimeoutMs = 10000;
constexpr auto stopTimeout = std::chrono::seconds(3);

std::string systemError(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

void closeFd(int& fd) {
    if (fd >= 0)
        close(fd);
    fd = -1;
}

struct ChildSetup {
    pid_t parent;
};

// Runs in the child between fork and exec.
void dieWithParent(gpointer data) {
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != static_cast<ChildSetup*>(data)->parent)
        _exit(127);
}

std::vector<const char*> cStrings(const std::vector<std::string>& strings) {
    std::vector<const char*> pointers;
    for (const auto& text : strings)
        pointers.push_back(text.c_str());
    pointers.push_back(nullptr);
    return pointers;
}

} // namespace

TemporaryFolder::TemporaryFolder(const std::string& prefix) {
    std::string pattern = "/tmp/" + prefix + "-XXXXXX";
    if (mkdtemp(pattern.data()) != nullptr)
        path_ = pattern;
}

TemporaryFolder::~TemporaryFolder() {
    if (path_.empty())
        return;
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string ChildProcess::start(const std::vector<std::string>& argv,
                                const std::vector<std::string>& environment, int outputFd,
                                bool pipeInput, bool pipeOutput) {
    auto arguments = cStrings(argv);
    auto variables = cStrings(environment);
    ChildSetup setup{getpid()};
    GError* error = nullptr;
    GPid pid = -1;
    bool started = g_spawn_async_with_pipes_and_fds(
        nullptr, arguments.data(), variables.data(),
        static_cast<GSpawnFlags>(G_SPAWN_SEARCH_PATH_FROM_ENVP | G_SPAWN_SEARCH_PATH |
                                 G_SPAWN_DO_NOT_REAP_CHILD),
        dieWithParent, &setup, -1, pipeOutput ? -1 : outputFd, outputFd, nullptr, nullptr, 0, &pid,
        pipeInput ? &input_ : nullptr, pipeOutput ? &output_ : nullptr, nullptr, &error);
    if (!started) {
        std::string message = "cannot start " + argv.front() + ": " + error->message;
        g_error_free(error);
        return message;
    }
    pid_ = pid;
    return {};
}

std::string ChildProcess::readLine(int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (auto newline = pending_.find('\n'); newline != std::string::npos) {
            std::string line = pending_.substr(0, newline);
            pending_.erase(0, newline + 1);
            return line;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        pollfd readable{output_, POLLIN, 0};
        int ready = left > 0 ? poll(&readable, 1, static_cast<int>(left)) : 0;
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return {};
        char buffer[256];
        ssize_t n = read(output_, buffer, sizeof buffer);
        if (n <= 0)
            return {};
        pending_.append(buffer, static_cast<std::size_t>(n));
    }
}

bool ChildProcess::writeInputAndClose(const std::string& text) {
    bool written = write(input_, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    closeFd(input_);
    return written;
}

std::string ChildProcess::exitDescription() {
    int status = 0;
    if (pid_ <= 0 || waitpid(pid_, &status, WNOHANG) != pid_)
        return {};
    pid_ = -1;
    if (WIFEXITED(status))
        return "it exited with status " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status))
        return "it was killed by signal " + std::to_string(WTERMSIG(status));
    return "it stopped";
}

void ChildProcess::stop() {
    closeFd(input_);
    closeFd(output_);
    if (pid_ <= 0)
        return;
    kill(pid_, SIGTERM);
    auto deadline = std::chrono::steady_clock::now() + stopTimeout;
    int status = 0;
    while (waitpid(pid_, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    pid_ = -1;
}

std::string readLogTail(const std::string& path) {
    std::ifstream file(path);
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    constexpr std::size_t tail = 2000;
    return text.size() > tail ? text.substr(text.size() - tail) : text;
}

std::vector<std::string> currentEnvironment() {
    std::vector<std::string> variables;
    for (char** variable = environ; *variable != nullptr; ++variable)
        variables.emplace_back(*variable);
    return variables;
}

std::string startServer(ChildProcess& process, const std::vector<std::string>& argv,
                        const std::vector<std::string>& environment, const std::string& logPath,
                        std::string& error) {
    int log = open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (log < 0) {
        error = systemError("cannot open " + logPath);
        return {};
    }
    error = process.start(argv, environment, log, false, true);
    close(log);
    if (!error.empty())
        return {};

    std::string line = process.readLine(startTimeoutMs);
    if (line.empty()) {
        std::string ended = process.exitDescription();
        error = argv.front() + " printed nothing within 10 s" +
                (ended.empty() ? std::string() : "; " + ended);
        std::string output = readLogTail(logPath);
        if (!output.empty())
            error += "; its output:\n" + output;
        process.stop();
    }
    return line;
}

} // namespace tovali::test
