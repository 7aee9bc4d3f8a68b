#include "platform/files/atomic_file.hpp"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/files/private_folder.hpp"

namespace tovali::files {

namespace {

constexpr std::size_t suffixDigits = 16;
// A younger temporary file may belong to a writer still at work in another process.
constexpr std::time_t staleSeconds = 60;

std::string uniqueSuffix() {
    static std::uint64_t counter = 0;
    timespec now{};
    if (::clock_gettime(CLOCK_REALTIME, &now) != 0)
        now = {};
    // splitmix64 of pid, time and a counter: unique enough, and O_EXCL catches the rest.
    std::uint64_t x =
        (static_cast<std::uint64_t>(::getpid()) << 32) ^ static_cast<std::uint64_t>(now.tv_nsec) ^
        (static_cast<std::uint64_t>(now.tv_sec) << 20) ^ (++counter * 0x9e3779b97f4a7c15ULL);
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
    x ^= x >> 31;
    FixedBytes<8> bytes{};
    for (auto& byte : bytes) {
        byte = static_cast<std::uint8_t>(x);
        x >>= 8;
    }
    return toHex(bytes);
}

bool isTempOf(std::string_view entry, std::string_view name) {
    std::size_t head = tempPrefix.size() + name.size() + 1;
    if (entry.size() != head + suffixDigits || !entry.starts_with(tempPrefix) ||
        entry.substr(tempPrefix.size(), name.size()) != name || entry[head - 1] != '.')
        return false;
    auto suffix = entry.substr(head);
    return std::all_of(suffix.begin(), suffix.end(), [](char c) { return hexDigitValue(c) >= 0; });
}

bool writeAll(int fd, ByteView bytes) {
    while (!bytes.empty()) {
        std::size_t chunk = std::min<std::size_t>(bytes.size(), SSIZE_MAX);
        ssize_t count = ::write(fd, bytes.data(), chunk);
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            return false;
        bytes = bytes.subspan(static_cast<std::size_t>(count));
    }
    return true;
}

bool syncFile(int fd) {
    while (::fsync(fd) != 0) {
        if (errno != EINTR)
            return false;
    }
    return true;
}

bool syncFolder(int fd) {
    // Some file systems cannot sync a folder and say so with EINVAL; their renames are as
    // durable as they get.
    return syncFile(fd) || errno == EINVAL;
}

void removeStaleTemps(int folder, const std::string& name) {
    // A fresh open file description: the folder's own one must keep its read position.
    int listFd = ::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (listFd < 0)
        return;
    DIR* list = ::fdopendir(listFd);
    if (list == nullptr) {
        static_cast<void>(::close(listFd));
        return;
    }
    std::time_t now = std::time(nullptr);
    // Best effort throughout: a temporary file that stays is only clutter.
    while (const dirent* entry = ::readdir(list)) {
        struct stat info {};
        if (!isTempOf(entry->d_name, name) ||
            ::fstatat(folder, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0 ||
            !S_ISREG(info.st_mode) || now - info.st_mtime < staleSeconds)
            continue;
        static_cast<void>(::unlinkat(folder, entry->d_name, 0));
    }
    static_cast<void>(::closedir(list));
}

// Removes the temporary file on every way out of a save that does not hand it over.
class TempName {
public:
    TempName(int folder, std::string name) : folder_(folder), name_(std::move(name)) {}
    TempName(const TempName&) = delete;
    TempName& operator=(const TempName&) = delete;
    ~TempName() {
        if (owned_)
            static_cast<void>(::unlinkat(folder_, name_.c_str(), 0));
    }

    const char* c_str() const { return name_.c_str(); }
    void release() { owned_ = false; }

private:
    int folder_;
    std::string name_;
    bool owned_ = true;
};

} // namespace

SaveOutcome saveFile(int folder, const std::string& name, ByteView bytes, Placement placement,
                     const SaveObserver& observer) {
    auto reached = [&](SaveStep step) {
        if (observer)
            observer(step);
    };
    std::string tempName;
    UniqueFd file;
    for (int attempt = 0; attempt < 16 && !file.valid(); ++attempt) {
        tempName = std::string(tempPrefix) + name + "." + uniqueSuffix();
        file = UniqueFd(::openat(folder, tempName.c_str(),
                                 O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!file.valid() && errno != EEXIST)
            return SaveOutcome::failed;
    }
    if (!file.valid())
        return SaveOutcome::failed;
    TempName temp(folder, std::move(tempName));
    // The umask may have taken bits the owner needs.
    if (::fchmod(file.get(), 0600) != 0)
        return SaveOutcome::failed;
    reached(SaveStep::tempCreated);

    if (!writeAll(file.get(), bytes))
        return SaveOutcome::failed;
    reached(SaveStep::written);

    if (!syncFile(file.get()) || !file.close())
        return SaveOutcome::failed;
    reached(SaveStep::synced);

    if (placement == Placement::replace) {
        if (::renameat(folder, temp.c_str(), folder, name.c_str()) != 0)
            return SaveOutcome::failed;
        temp.release();
    } else {
        // link(2) fails on an existing name where rename would replace it.
        if (::linkat(folder, temp.c_str(), folder, name.c_str(), 0) != 0)
            return errno == EEXIST ? SaveOutcome::exists : SaveOutcome::failed;
        // The value is in place; should this fail, the temporary name goes later instead.
        if (::unlinkat(folder, temp.c_str(), 0) == 0)
            temp.release();
    }
    reached(SaveStep::placed);

    if (!syncFolder(folder))
        return SaveOutcome::failed;
    reached(SaveStep::folderSynced);

    removeStaleTemps(folder, name);
    return SaveOutcome::saved;
}

} // namespace tovali::files
