#pragma once

#include <string>
#include <string_view>
#include <utility>

#include "common/bytes.hpp"

namespace tovali::files {

/// A file descriptor owned by one object and closed with it.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept;
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd();

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    /// Closes now; false when the kernel reports an error, which may be a write that failed late.
    bool close();

private:
    int fd_ = -1;
};

enum class FileStatus {
    ok,
    absent,
    /// There, but not a plain file or folder of this user's: left as it is.
    refused,
    failed,
};

struct OpenedFolder {
    FileStatus status = FileStatus::failed;
    UniqueFd fd;
};

struct ReadFile {
    FileStatus status = FileStatus::failed;
    Bytes bytes;
};

/// Opens a folder that only this user may enter. With `create`, a missing folder is made with
/// mode 0700, and so are its missing parents. A folder of this user's with another mode is set
/// to 0700; a symlink, a non-folder or another user's folder is refused.
OpenedFolder openPrivateFolder(const std::string& path, bool create);

/// Reads the file `name` in the open folder `folder` whole. A symlink, anything but a regular
/// file, or another user's file is refused; a file of this user's with another mode is set to
/// 0600 first. With `secret`, buffers given up while reading are wiped.
ReadFile readPrivateFile(int folder, const std::string& name, bool secret);

/// A file name for any text: bytes outside [A-Za-z0-9_-] (and '.' unless `keepDots`) become
/// %XX, a leading '.' always does, and the empty text is "%", which no other text gives.
std::string encodeFileName(std::string_view text, bool keepDots);

/// Overwrites a buffer that held a secret, in a way the compiler keeps.
void wipe(Bytes& bytes);

} // namespace tovali::files
