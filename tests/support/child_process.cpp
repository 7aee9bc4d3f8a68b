#include "support/child_process.hpp"

#include <cerrno>
#include <chrono>
#include <csignal>
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

// Runs in the child between fork and exec: it dies with the test, even one that died first.
void dieWithParent(gpointer parent) {
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != GPOINTER_TO_INT(parent))
        _exit(127);
}

std::vector<const char*> cStrings(const std::vector<std::string>& strings) {
    std::vector<const char*> pointers;
    for (const auto& text : strings)
        pointers.push_back(text.c_str());
    pointers.push_back(nullptr);
    return pointers;
}

void closeFd(int& fd) {
    if (fd >= 0)
        close(fd);
    fd = -1;
}

} // namespace

TemporaryFolder::TemporaryFolder(const std::string& prefix) {
    std::string pattern = "/tmp/" + prefix + "-XXXXXX";
    if (mkdtemp(pattern.data()) != nullptr)
        path_ = pattern;
}

TemporaryFolder::~TemporaryFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string ChildProcess::start(const std::vector<std::string>& argv,
                                const std::vector<std::string>& environment, int outputFd,
                                bool pipeInput, bool pipeOutput) {
    GError* error = nullptr;
    if (!g_spawn_async_with_pipes_and_fds(
            nullptr, cStrings(argv).data(), cStrings(environment).data(),
            static_cast<GSpawnFlags>(G_SPAWN_SEARCH_PATH_FROM_ENVP | G_SPAWN_SEARCH_PATH |
                                     G_SPAWN_DO_NOT_REAP_CHILD),
            dieWithParent, GINT_TO_POINTER(getpid()), -1, pipeOutput ? -1 : outputFd, outputFd,
            nullptr, nullptr, 0, &pid_, pipeInput ? &input_ : nullptr,
            pipeOutput ? &output_ : nullptr, nullptr, &error)) {
        std::string message = "cannot start " + argv.front() + ": " + error->message;
        g_error_free(error);
        return message;
    }
    return {};
}

// The servers print their line at once: each read may wait the whole time.
std::string ChildProcess::readLine(int timeoutMs) {
    std::size_t newline = 0;
    while ((newline = pending_.find('\n')) == std::string::npos) {
        pollfd readable{output_, POLLIN, 0};
        const int ready = poll(&readable, 1, timeoutMs);
        if (ready < 0 && errno == EINTR)
            continue;
        char buffer[256];
        ssize_t n = 0;
        if (ready <= 0 || (n = read(output_, buffer, sizeof buffer)) <= 0)
            return {};
        pending_.append(buffer, static_cast<std::size_t>(n));
    }
    std::string line = pending_.substr(0, newline);
    pending_.erase(0, newline + 1);
    return line;
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
    return "it was killed by signal " + std::to_string(WTERMSIG(status));
}

void ChildProcess::stop() {
    closeFd(input_);
    closeFd(output_);
    if (pid_ <= 0)
        return;
    kill(pid_, SIGTERM);
    int waited = 0; // SIGKILL after three seconds
    while (waitpid(pid_, nullptr, WNOHANG) == 0 && ++waited < 1500)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    if (waited == 1500) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    pid_ = -1;
}

std::string readLogTail(const std::string& path) {
    std::ifstream file(path);
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    return text.size() > 2000 ? text.substr(text.size() - 2000) : text;
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
    const int log = open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    error = process.start(argv, environment, log, false, true);
    close(log);
    if (!error.empty())
        return {};
    // Generous: under emulation in the VM, on a loaded machine, Xvfb once took over 10 s.
    std::string line = process.readLine(30000);
    if (line.empty()) {
        error = argv.front() + " printed nothing within 30 s; " + process.exitDescription() +
                "; its output:\n" + readLogTail(logPath);
        process.stop();
    }
    return line;
}

} // namespace tovali::test
