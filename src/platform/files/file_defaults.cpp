#include "platform/files/file_defaults.hpp"

#include <exception>

#include "platform/files/private_folder.hpp"
#include "platform/files/xdg_paths.hpp"

namespace tovali {

namespace {

std::string fileName(std::string_view name) {
    return files::encodeFileName(name, true);
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

std::optional<Bytes> FileDefaults::data(std::string_view name) {
    try {
        auto folder = files::openPrivateFolder(folder_, false);
        if (folder.status != files::FileStatus::ok)
            return std::nullopt;
        auto file = files::readPrivateFile(folder.fd.get(), fileName(name), false);
        if (file.status != files::FileStatus::ok)
            return std::nullopt;
        return std::move(file.bytes);
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

bool FileDefaults::setData(std::string_view name, ByteView bytes) {
    try {
        auto folder = files::openPrivateFolder(folder_, true);
        return folder.status == files::FileStatus::ok &&
               files::saveFile(folder.fd.get(), fileName(name), bytes, files::Placement::replace,
                               observer_) == files::SaveOutcome::saved;
    } catch (const std::exception&) {
        return false;
    }
}

std::string FileDefaults::location(std::string_view name) const {
    return folder_ + "/" + fileName(name);
}

} // namespace tovali
