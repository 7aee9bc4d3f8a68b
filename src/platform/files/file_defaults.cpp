#include "platform/files/file_defaults.hpp"

#include <cerrno>
#include <cstring>
#include <exception>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/files/private_folder.hpp"
#include "platform/files/xdg_paths.hpp"

namespace tovali {

namespace {

std::string fileName(std::string_view name) {
    return files::encodeFileName(name, true);
}

// Said in the words a person fixing it by hand needs: what is in the way, else the system's
// reason.
std::string whyNot(const std::string& path, bool folder, int error) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) == 0) {
        if (S_ISLNK(info.st_mode))
            return "it is a symbolic link";
        if (info.st_uid != ::geteuid())
            return "it belongs to another user";
        if (folder && !S_ISDIR(info.st_mode))
            return "it is not a folder";
        if (!folder && S_ISDIR(info.st_mode))
            return "it is a folder, not a file";
        if (!folder && !S_ISREG(info.st_mode))
            return "it is not a regular file";
    }
    return error != 0 ? std::strerror(error) : "unknown error";
}

} // namespace

FileDefaults::FileDefaults(std::string folder, files::SaveObserver observer)
    : folder_(std::move(folder)), observer_(std::move(observer)) {}

std::optional<FileDefaults> FileDefaults::fromEnvironment() {
    auto base = files::configHome();
    if (!base)
        return std::nullopt;
    return FileDefaults(*base + "/" + std::string(files::appFolderName));
}

StoredValue FileDefaults::read(std::string_view name) {
    const std::string path = location(name);
    try {
        auto folder = files::openPrivateFolder(folder_, false);
        if (folder.status == files::FileStatus::absent)
            return {};
        if (folder.status != files::FileStatus::ok)
            return {std::nullopt, whyNot(folder_, true, errno)};
        auto file = files::readPrivateFile(folder.fd.get(), fileName(name), false);
        if (file.status == files::FileStatus::absent)
            return {};
        if (file.status != files::FileStatus::ok)
            return {std::nullopt, whyNot(path, false, errno)};
        return {std::move(file.bytes), {}};
    } catch (const std::exception& error) {
        return {std::nullopt, error.what()};
    }
}

std::optional<std::string> FileDefaults::write(std::string_view name, ByteView bytes) {
    try {
        auto folder = files::openPrivateFolder(folder_, true);
        if (folder.status != files::FileStatus::ok)
            return whyNot(folder_, true, errno);
        errno = 0;
        if (files::saveFile(folder.fd.get(), fileName(name), bytes, files::Placement::replace,
                            observer_) != files::SaveOutcome::saved)
            return whyNot(location(name), false, errno);
        return std::nullopt;
    } catch (const std::exception& error) {
        return error.what();
    }
}

std::string FileDefaults::location(std::string_view name) const {
    return folder_ + "/" + fileName(name);
}

} // namespace tovali
