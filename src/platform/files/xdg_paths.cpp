#include "platform/files/xdg_paths.hpp"

#include <cerrno>
#include <cstdlib>
#include <pwd.h>
#include <unistd.h>
#include <vector>

namespace tovali::files {

namespace {

// The XDG rules say a relative value is invalid and must be ignored.
std::optional<std::string> absolutePath(const char* value) {
    if (value == nullptr || value[0] != '/')
        return std::nullopt;
    std::string path(value);
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path;
}

std::optional<std::string> baseFolder(const char* variable, std::string_view underHome) {
    if (auto path = absolutePath(std::getenv(variable)))
        return path;
    auto home = homeFolder();
    if (!home)
        return std::nullopt;
    if (home->back() != '/')
        home->push_back('/');
    return *home + std::string(underHome);
}

} // namespace

std::optional<std::string> homeFolder() {
    if (auto home = absolutePath(std::getenv("HOME")))
        return home;
    long hint = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(hint > 0 ? static_cast<std::size_t>(hint) : 16384);
    passwd entry{};
    passwd* found = nullptr;
    int error = 0;
    while ((error = ::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found)) ==
               ERANGE &&
           buffer.size() < (1U << 20))
        buffer.resize(buffer.size() * 2);
    if (error != 0 || found == nullptr)
        return std::nullopt;
    return absolutePath(entry.pw_dir);
}

std::optional<std::string> dataHome() {
    return baseFolder("XDG_DATA_HOME", ".local/share");
}

std::optional<std::string> configHome() {
    return baseFolder("XDG_CONFIG_HOME", ".config");
}

} // namespace tovali::files
