#include "platform/files/private_folder.hpp"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tovali::files {

namespace {

constexpr mode_t folderMode = 0700;
constexpr mode_t fileMode = 0600;

bool isOurs(const struct stat& info) {
    return info.st_uid == ::geteuid();
}

bool setModeIfOther(int fd, const struct stat& info, mode_t mode) {
    return (info.st_mode & 07777) == mode || ::fchmod(fd, mode) == 0;
}

UniqueFd openFolder(const std::string& path) {
    return UniqueFd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

// Parents are made private too when we are the ones making them, as the XDG rules ask.
bool makeParents(const std::string& path) {
    for (std::size_t slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
        std::string parent = path.substr(0, slash);
        if (::mkdir(parent.c_str(), folderMode) == 0) {
            // The umask may have taken bits from a folder we just made. The mode goes to the
            // folder we opened, never through a name that could be swapped for a symlink since.
            const UniqueFd made = openFolder(parent);
            if (!made.valid() || ::fchmod(made.get(), folderMode) != 0)
                return false;
        } else if (errno != EEXIST) {
            return false;
        }
    }
    return true;
}

ReadFile readAll(int fd, std::size_t sizeHint, bool secret) {
    // One byte more than expected, so that seeing the end needs no second buffer.
    ReadFile result{FileStatus::ok, Bytes(sizeHint + 1)};
    Bytes& buffer = result.bytes;
    std::size_t used = 0;
    for (;;) {
        if (used == buffer.size()) {
            Bytes bigger(buffer.size() * 2);
            std::copy(buffer.begin(), buffer.end(), bigger.begin());
            if (secret)
                wipe(buffer);
            buffer.swap(bigger);
        }
        ssize_t count = ::read(fd, buffer.data() + used, buffer.size() - used);
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0) {
            if (secret)
                wipe(buffer);
            return {FileStatus::failed, {}};
        }
        if (count == 0)
            break;
        used += static_cast<std::size_t>(count);
    }
    buffer.resize(used);
    return result;
}

} // namespace

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
        close();
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
}

UniqueFd::~UniqueFd() {
    // A descriptor still open here was only read, or its file is being given up anyway.
    close();
}

bool UniqueFd::close() {
    if (fd_ < 0)
        return true;
    // Linux frees the descriptor even when close fails, so it is never retried.
    int result = ::close(std::exchange(fd_, -1));
    return result == 0;
}

OpenedFolder openPrivateFolder(const std::string& path, bool create) {
    if (path.empty())
        return {FileStatus::failed, {}};
    UniqueFd fd = openFolder(path);
    if (!fd.valid() && errno == ENOENT && create) {
        if (!makeParents(path) || (::mkdir(path.c_str(), folderMode) != 0 && errno != EEXIST))
            return {FileStatus::failed, {}};
        fd = openFolder(path);
    }
    if (!fd.valid()) {
        switch (errno) {
        case ENOENT:
            return {FileStatus::absent, {}};
        case ELOOP:
        case ENOTDIR:
            return {FileStatus::refused, {}};
        default:
            return {FileStatus::failed, {}};
        }
    }
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0)
        return {FileStatus::failed, {}};
    if (!S_ISDIR(info.st_mode) || !isOurs(info))
        return {FileStatus::refused, {}};
    if (!setModeIfOther(fd.get(), info, folderMode))
        return {FileStatus::failed, {}};
    return {FileStatus::ok, std::move(fd)};
}

ReadFile readPrivateFile(int folder, const std::string& name, bool secret) {
    // Non-blocking, so that a FIFO put in place of the file cannot stall the open.
    UniqueFd fd(
        ::openat(folder, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!fd.valid()) {
        if (errno == ENOENT)
            return {FileStatus::absent, {}};
        return {errno == ELOOP ? FileStatus::refused : FileStatus::failed, {}};
    }
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0)
        return {FileStatus::failed, {}};
    if (!S_ISREG(info.st_mode) || !isOurs(info))
        return {FileStatus::refused, {}};
    if (!setModeIfOther(fd.get(), info, fileMode))
        return {FileStatus::failed, {}};
    return readAll(fd.get(), static_cast<std::size_t>(info.st_size), secret);
}

std::string encodeFileName(std::string_view text, bool keepDots) {
    if (text.empty())
        return "%";
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        auto byte = static_cast<unsigned char>(text[i]);
        bool plain = (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') ||
                     (byte >= '0' && byte <= '9') || byte == '_' || byte == '-' ||
                     (byte == '.' && keepDots && i != 0);
        if (plain) {
            out.push_back(static_cast<char>(byte));
        } else {
            out.push_back('%');
            out.push_back(digits[byte >> 4]);
            out.push_back(digits[byte & 0x0f]);
        }
    }
    return out;
}

void wipe(Bytes& bytes) {
    if (!bytes.empty())
        ::explicit_bzero(bytes.data(), bytes.size());
}

} // namespace tovali::files
