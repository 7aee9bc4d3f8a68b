#include "platform/files/file_keychain.hpp"

#include <cerrno>
#include <exception>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/files/private_folder.hpp"
#include "platform/files/xdg_paths.hpp"

namespace tovali {

using files::FileStatus;

FileKeychain::FileKeychain(std::string folder, files::SaveObserver observer)
    : folder_(std::move(folder)), observer_(std::move(observer)) {}

std::optional<FileKeychain> FileKeychain::fromEnvironment() {
    auto base = files::dataHome();
    if (!base)
        return std::nullopt;
    return FileKeychain(*base + "/" + std::string(files::appFolderName));
}

std::string FileKeychain::fileName(const KeychainQuery& query) {
    // With '.' encoded inside the parts, the separators keep every pair apart.
    return files::encodeFileName(query.service, false) + "." +
           files::encodeFileName(query.account, false) + ".secret";
}

KeychainReadResult FileKeychain::copyMatching(const KeychainQuery& query) {
    try {
        return read(query);
    } catch (const std::exception&) {
        return {KeychainResult::failed, std::nullopt};
    }
}

KeychainResult FileKeychain::add(const KeychainQuery& query, ByteView data) {
    try {
        return store(query, data);
    } catch (const std::exception&) {
        return KeychainResult::failed;
    }
}

KeychainReadResult FileKeychain::read(const KeychainQuery& query) {
    auto folder = files::openPrivateFolder(folder_, false);
    if (folder.status == FileStatus::absent)
        return {KeychainResult::itemNotFound, std::nullopt};
    if (folder.status != FileStatus::ok)
        return {KeychainResult::failed, std::nullopt};
    auto file = files::readPrivateFile(folder.fd.get(), fileName(query), true);
    switch (file.status) {
    case FileStatus::ok:
        return {KeychainResult::success, std::move(file.bytes)};
    case FileStatus::absent:
        return {KeychainResult::itemNotFound, std::nullopt};
    default:
        return {KeychainResult::failed, std::nullopt};
    }
}

KeychainResult FileKeychain::store(const KeychainQuery& query, ByteView data) {
    auto folder = files::openPrivateFolder(folder_, true);
    if (folder.status != FileStatus::ok)
        return KeychainResult::failed;
    std::string name = fileName(query);
    // Only an item of ours is a duplicate; anything else in its place is an error to report.
    struct stat info {};
    if (::fstatat(folder.fd.get(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0) {
        return S_ISREG(info.st_mode) && info.st_uid == ::geteuid() ? KeychainResult::duplicateItem
                                                                   : KeychainResult::failed;
    }
    if (errno != ENOENT)
        return KeychainResult::failed;
    switch (
        files::saveFile(folder.fd.get(), name, data, files::Placement::keepExisting, observer_)) {
    case files::SaveOutcome::saved:
        return KeychainResult::success;
    case files::SaveOutcome::exists:
        return KeychainResult::duplicateItem;
    default:
        return KeychainResult::failed;
    }
}

} // namespace tovali
