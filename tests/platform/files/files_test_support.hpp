#pragma once

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/files/atomic_file.hpp"
#include "support/child_process.hpp"

namespace tovali::files_test {

/// Each test gets a fresh folder of its own, removed with everything in it afterwards.
class TempFolderTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_FALSE(root().empty()); }
    const std::string& root() const { return folder_.path(); }

private:
    test::TemporaryFolder folder_{"tovali-files"};
};

/// The permission bits of whatever is at `path`, symlinks not followed; -1 when nothing is.
inline int modeOf(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 ? static_cast<int>(info.st_mode & 07777) : -1;
}

inline std::set<std::string> entriesOf(const std::string& folder) {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        names.insert(entry.path().filename().string());
    return names;
}

inline void writeText(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

inline std::string readText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

/// Runs `save` in a child process whose observer kills it at `step`; true when it died there.
inline bool killedAt(files::SaveStep step,
                     const std::function<void(const files::SaveObserver&)>& save) {
    pid_t child = ::fork();
    if (child == 0) {
        save([step](files::SaveStep reached) {
            if (reached == step)
                std::raise(SIGKILL);
        });
        ::_exit(0);
    }
    int status = 0;
    while (child > 0 && ::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return child > 0 && WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
}

/// For this process and its tests to come: every test that reads one sets it first.
inline void setEnv(const char* name, const std::optional<std::string>& value) {
    value ? ::setenv(name, value->c_str(), 1) : ::unsetenv(name);
}

} // namespace tovali::files_test
