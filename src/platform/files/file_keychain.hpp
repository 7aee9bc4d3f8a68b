#pragma once

#include <optional>
#include <string>

#include "platform/files/atomic_file.hpp"
#include "platform/keychain.hpp"

namespace tovali {

/// Secrets in files of their own, mode 0600, in a folder of mode 0700 that is this user's. The
/// query's variant is not looked at: a router in front decides which store is asked.
class FileKeychain final : public Keychain {
public:
    /// A store in `folder`, which is made on the first add. The observer sees each step of a
    /// save, for tests that interrupt one.
    explicit FileKeychain(std::string folder, files::SaveObserver observer = {});
    /// A store in $XDG_DATA_HOME/tovali, or none when there is no home folder.
    static std::optional<FileKeychain> fromEnvironment();

    KeychainReadResult copyMatching(const KeychainQuery& query) override;
    KeychainResult add(const KeychainQuery& query, ByteView data) override;

    /// The item's file name inside the folder: "<service>.<account>.secret", each encoded.
    static std::string fileName(const KeychainQuery& query);
    const std::string& folder() const { return folder_; }

private:
    KeychainReadResult read(const KeychainQuery& query);
    KeychainResult store(const KeychainQuery& query, ByteView data);

    std::string folder_;
    files::SaveObserver observer_;
};

} // namespace tovali
